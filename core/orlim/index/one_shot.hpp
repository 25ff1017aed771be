// The jobs of the one-shot entry points: build a GraphIndex, answer one batch of k-NN questions
// with it, drop it. They run inside the worker pool of the call and print the optional timing line.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "orlim/data/knn_result.hpp"
#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"

namespace orlim {

// Self-kNN of `data`: brute force when n <= min(c_max, 2048); otherwise the graph index, with
// the query mode read from ORLIM_QUERY ("beam" when unset, "warm", "reservoir"; anything else
// searches like "beam" but still retains candidates) and, when ORLIM_PROFILE is set, the line
// "[orlim] BUILD=...s QUERY=...s [mode]".
SelfKnn self_knn_job(Dataset data, const BuildParams& params, std::size_t k, std::size_t beam_l);

// k-NN of every row of `queries` (n_q rows of data.d values) on a graph index built over `data`,
// with the line "[orlim] BUILD=...s QUERY=...s [n_q queries, runs=R, beam_l=L]" when profiling.
SelfKnn query_knn_job(Dataset data, const BuildParams& params, std::span<const float> queries,
                      std::size_t n_q, std::size_t k, std::size_t beam_l);

// Candidates the build retains per point for a query mode: none for "beam", otherwise
// min(l_max, max(k + 1, 32)).
std::size_t retained_for_mode(const std::string& mode, std::size_t k, std::size_t l_max);

}  // namespace orlim
