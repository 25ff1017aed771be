// The graph-based k-NN producers: external queries, self-kNN by beam search (optionally warm
// started from the build's retained candidates), and self-kNN read from the retained candidates
// and their graph neighbourhood.
//
// Each producer runs a parallel loop over rows on the current pool; every task owns its search
// state, and the Dataset, Graph, retained candidates and queries are only read. Results do not
// depend on the number of workers.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "orlim/data/knn_result.hpp"
#include "orlim/build/retained.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// The strided start candidates of external queries: every `step`-th base point, of which each
// query starts from its `per_query` nearest.
struct SeedPool {
  std::vector<PointId> ids;  // 0, step, 2 * step, ... (all below n)
  std::size_t per_query = 0;
};

// The pool for n >= 1 base points and beam width `beam_width`:
// min(max(floor(4 sqrt(n)), beam_width), n, 2048) points, strided; up to 16 per query.
SeedPool make_seed_pool(std::size_t n, std::size_t beam_width);

// k nearest base points of each of the n_q rows of `queries` (n_q * data.d values, row-major):
// stride min(n, k), no self slot, beam width max(beam_l, stride), each search started from the
// query's nearest seeds. A row whose search finds fewer repeats its last entry; a row that finds
// nothing holds (graph.entry, 0). Needs n >= 1 and k >= 1 (Failure otherwise). Holds the n_q
// start lists (up to 16 ids each) for the duration of the call.
SelfKnn knn_query(const Dataset& data, GraphView graph, std::span<const float> queries,
                  std::size_t n_q, std::size_t k, std::size_t beam_l);

// The Failure knn_query raises for k = 0, for callers that want it before they build anything.
void check_query_k(std::size_t k);

// Self-kNN by beam search from each point, warm started from its retained candidates when
// `retained` is given and not empty (nullptr: none). Stride min(max(n, 1), k + 1), beam width
// max(beam_l, stride); the point itself always comes first, and a row that finds fewer points
// is padded with (i, 0).
SelfKnn knn_self_graph(const Dataset& data, GraphView graph, const RetainedCands* retained,
                       std::size_t k, std::size_t beam_l);

// Self-kNN without search: the exact nearest among each point's retained candidates, its graph
// neighbours and the graph neighbours of its 6 nearest retained candidates. Same layout and
// padding as knn_self_graph.
SelfKnn knn_self_reservoir(const Dataset& data, GraphView graph, const RetainedCands& retained,
                           std::size_t k);

}  // namespace orlim
