// The candidates a build keeps per point from its reservoir, for the self-kNN modes that start
// from them (warm start, reservoir read-out). Written by the build's prune phase, one row per
// task; read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

}  // namespace orlim
