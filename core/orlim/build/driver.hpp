// The index build: sketches, per-run partitions with leaf distances feeding the candidate
// reservoirs, per-point pruning, then symmetrization into the search graph.
//
// Runs on the pool of the calling job; reads the Dataset only. With one worker the result is
// reproducible for a seed; with more, the order in which leaves reach a shared reservoir can
// change what it keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Up to `width` nearest candidates kept per point from its reservoir, nearest first (ties by id).
struct RetainedCands {
  std::span<const Neighbor> of(std::size_t p) const {
    return {slots.data() + p * width, counts[p]};
  }
  bool empty() const { return width == 0; }

  std::vector<Neighbor> slots;        // n * width
  std::vector<std::uint32_t> counts;  // n entries, each at most width
  std::size_t width = 0;
};

struct BuiltIndex {
  Graph graph;
  RetainedCands retained;
};

// Builds the graph over `data`; retains up to `c` candidates per point (0: none). Invalid
// parameters (m > 16, c_max = 0 or r = 0 with points to build over) end with a Failure.
BuiltIndex build_index_with_cands(const Dataset& data, const BuildParams& params, std::size_t c);

}  // namespace orlim
