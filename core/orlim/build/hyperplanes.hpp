// Random hyperplanes through the origin, every point's projections onto them, and the 16-bit
// relative code of one point seen from another (HashPrune's direction buckets).
//
// Hyperplanes and Projections are built once per build and read by all workers without locks.
#pragma once

#include <xmmintrin.h>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Codes pack one bit per plane into 16 bits.
inline constexpr std::size_t kMaxPlanes = 16;

struct Hyperplanes {
  // m normals of dimension d drawn from the generator seeded with `seed` (the build seed itself),
  // entries in row-major order, each from two consecutive 32-bit draws a, b:
  // sqrt(-2 ln max(u1, 1e-9)) * cos(2 pi u2) with u = (word >> 8) * 2^-24, all in float32.
  // Fails with "m must be <= 16 (code packs into u16)" when m > 16.
  Hyperplanes(std::size_t m, std::size_t d, std::uint64_t seed);

  std::vector<float> planes;  // m x d, row-major: row j is the normal of plane j
  std::size_t m = 0;
  std::size_t d = 0;
};

// Every point's dot products with the planes.
struct Projections {
  const float* row(std::size_t p) const { return values.data() + p * m; }

  std::vector<float> values;  // n x m, row-major
  std::size_t m = 0;
};

// proj(p, j) = sum over i of planes[j][i] * row_p[i], added in index order in float32, so the
// values are the same on every platform and thread count. Runs in parallel over points in the
// enclosing pool. `planes.d` must equal `data.d`.
Projections sketch_all(const Hyperplanes& planes, const Dataset& data);

// Bit j (j < m) is set exactly when proj_q[j] - proj_p[j] >= 0 in float32 (NaN gives 0), i.e.
// when q lies on the positive side of plane j moved to pass through p. Bits m..15 are 0.
inline std::uint16_t relative_code(const float* proj_q, const float* proj_p, std::size_t m) {
  std::uint32_t code = 0;
  std::size_t j = 0;
  // Four planes per step: the ordered >= comparison is false for NaN, as in the scalar tail.
  const __m128 zero = _mm_setzero_ps();
  for (; j + 4 <= m; j += 4) {
    const __m128 diff = _mm_sub_ps(_mm_loadu_ps(proj_q + j), _mm_loadu_ps(proj_p + j));
    code |= static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmpge_ps(diff, zero))) << j;
  }
  for (; j < m; ++j) {
    code |= static_cast<std::uint32_t>(proj_q[j] - proj_p[j] >= 0.0f) << j;
  }
  return static_cast<std::uint16_t>(code);
}

// The code of candidate q seen from point p.
inline std::uint16_t relative_code(const Projections& proj, PointId q, PointId p) {
  return relative_code(proj.row(q), proj.row(p), proj.m);
}

}  // namespace orlim
