// The index build: sketches, per-run partitions with leaf distances feeding the candidate
// reservoirs, per-point pruning, then symmetrization into the search graph.
//
// Runs on the pool of the calling job; reads the Dataset only. With one worker the result is
// reproducible for a seed; with more, the order in which leaves reach a shared reservoir can
// change what it keeps.
#pragma once

#include <cstddef>

#include "orlim/build/build_params.hpp"
#include "orlim/build/retained.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

struct BuiltIndex {
  Graph graph;
  RetainedCands retained;
};

// Builds the graph over `data`; retains up to `c` candidates per point (0: none). Invalid
// parameters (m > 16, c_max = 0 or r = 0 with points to build over) end with a Failure.
BuiltIndex build_index_with_cands(const Dataset& data, const BuildParams& params, std::size_t c);

}  // namespace orlim
