#include "orlim/hnsw/graph.hpp"

#include <immintrin.h>

#include <cmath>
#include <limits>
#include <thread>

#include "orlim/base/failure.hpp"
#include "orlim/base/rng.hpp"

namespace orlim::hnsw {

std::vector<std::size_t> draw_levels(std::size_t n, std::size_t m, std::uint64_t seed) {
  Rng rng(seed ^ kHnswLevelSeedXor);
  // ln 1 = 0 makes the factor +infinity (every level capped); ln 0 = -infinity makes it -0.0
  // (every level 0). Both fall out of the formula below without a special case.
  const double factor = 1.0 / std::log(static_cast<double>(m));
  std::vector<std::size_t> levels(n);
  for (std::size_t p = 0; p < n; ++p) {
    const double u = static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
    const double value = std::floor(-std::log(std::max(u, 1e-12)) * factor);
    // Negative and NaN values give 0; everything from the cap up, infinity included, the cap.
    if (!(value >= 1.0)) {
      levels[p] = 0;
    } else if (value >= static_cast<double>(kMaxLevel)) {
      levels[p] = kMaxLevel;
    } else {
      levels[p] = static_cast<std::size_t>(value);
    }
  }
  return levels;
}

VisitedSet::VisitedSet(std::size_t n) : marks(std::max<std::size_t>(n, 1), 0) {}

void VisitedSet::begin_search() {
  if (++stamp == 0) {
    std::fill(marks.begin(), marks.end(), 0);
    stamp = 1;
  }
}

Links::Links(std::span<const std::size_t> levels, std::size_t cap0, std::size_t cap_up)
    : capacity0(cap0), capacity_up(cap_up) {
  const std::size_t n = levels.size();
  upper_begin.resize(n + 1);
  std::size_t blocks = 0;
  for (std::size_t p = 0; p < n; ++p) {
    upper_begin[p] = blocks;
    blocks += levels[p];
  }
  upper_begin[n] = blocks;
  level0.assign(checked_mul(n, 2 + capacity0, "HNSW layer-0 lists"), 0);
  upper.assign(checked_mul(blocks, 2 + capacity_up, "HNSW upper-layer lists"), 0);
}

namespace detail {

namespace {

// A list never holds its own point or an id twice, so n - 1 slots suffice whatever the bound.
std::size_t list_capacity(std::size_t bound, std::size_t n) {
  return std::min(bound, n == 0 ? 0 : n - 1);
}

// 2 * m, saturating instead of wrapping for absurd m.
std::size_t twice(std::size_t m) {
  return m > std::numeric_limits<std::size_t>::max() / 2 ? std::numeric_limits<std::size_t>::max()
                                                         : 2 * m;
}

}  // namespace

void back_off(unsigned attempt) {
  if (attempt < 64) {
    _mm_pause();
  } else {
    std::this_thread::yield();
  }
}

Building::Building(std::span<const std::size_t> levels, std::size_t m)
    : links(levels, list_capacity(twice(m), levels.size()), list_capacity(m, levels.size())),
      bound0(twice(m)),
      bound_up(m),
      entry(0),
      max_level(levels.empty() ? 0 : levels[0]) {}

}  // namespace detail

}  // namespace orlim::hnsw
