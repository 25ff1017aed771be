#include "orlim/build/hyperplanes.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/base/rng.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orlim {

namespace {

// A uniform float32 in [0, 1) from the top 24 bits of a word (exact: 24 bits fit the mantissa).
float unit_float(std::uint32_t word) { return static_cast<float>(word >> 8) * 0x1p-24f; }

constexpr std::size_t kPointsPerTask = 1024;

// The dot products of one point's d values with every plane, the planes given by dimension
// (kMaxPlanes lanes per dimension, unused lanes 0). Each lane adds its products in index order,
// exactly as a separate dot product would, so the vector and scalar paths agree bit for bit.
void project_point(const float* by_dim, const float* x, std::size_t d, float* sums) {
#if defined(__SSE2__)
  static_assert(kMaxPlanes == 16, "four 4-lane accumulators");
  __m128 s0 = _mm_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
  for (std::size_t i = 0; i < d; ++i) {
    const float* lanes = by_dim + i * kMaxPlanes;
    const __m128 xi = _mm_set1_ps(x[i]);
    s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_loadu_ps(lanes), xi));
    s1 = _mm_add_ps(s1, _mm_mul_ps(_mm_loadu_ps(lanes + 4), xi));
    s2 = _mm_add_ps(s2, _mm_mul_ps(_mm_loadu_ps(lanes + 8), xi));
    s3 = _mm_add_ps(s3, _mm_mul_ps(_mm_loadu_ps(lanes + 12), xi));
  }
  _mm_storeu_ps(sums, s0);
  _mm_storeu_ps(sums + 4, s1);
  _mm_storeu_ps(sums + 8, s2);
  _mm_storeu_ps(sums + 12, s3);
#else
  std::fill_n(sums, kMaxPlanes, 0.0f);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < kMaxPlanes; ++j) sums[j] += by_dim[i * kMaxPlanes + j] * x[i];
  }
#endif
}

}  // namespace

Hyperplanes::Hyperplanes(std::size_t m, std::size_t d, std::uint64_t seed) : m(m), d(d) {
  if (m > kMaxPlanes) fail("m must be <= 16 (code packs into u16)");
  planes.resize(checked_mul(m, d, "hyperplanes m * d"));
  Rng rng(seed);
  for (float& entry : planes) {
    const float u1 = unit_float(rng.next_u32());
    const float u2 = unit_float(rng.next_u32());
    // The cosine half of Box-Muller; the floor keeps ln finite when u1 is 0. Float overloads
    // throughout, so the values match the platform's logf/cosf bit for bit.
    const float radius = std::sqrt(-2.0f * std::log(std::max(u1, 1e-9f)));
    entry = radius * std::cos(u2 * 6.2831855f);
  }
}

Projections sketch_all(const Hyperplanes& planes, const Dataset& data) {
  if (planes.d != data.d) fail("sketch_all: hyperplane dimension differs from the data set's");
  const std::size_t m = planes.m;
  const std::size_t d = data.d;
  Projections out;
  out.m = m;
  out.values.assign(checked_mul(data.n, m, "projections n * m"), 0.0f);
  if (m == 0 || d == 0) return out;

  // The planes transposed to d rows of kMaxPlanes lanes (unused lanes 0), so that one pass over
  // a point's values feeds all m sums at once; each sum still adds its products in index order,
  // which keeps the result identical to m separate dot products.
  std::vector<float> by_dim(checked_mul(d, kMaxPlanes, "hyperplanes d * 16"), 0.0f);
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = 0; i < d; ++i) by_dim[i * kMaxPlanes + j] = planes.planes[j * d + i];
  }

  // Every entry is computed the same way whichever task computes it, so the projections do not
  // depend on the number of threads.
  parallel_for_blocks(data.n, kPointsPerTask, [&](std::size_t lo, std::size_t hi) {
    std::array<float, kMaxPlanes> sums;
    for (std::size_t p = lo; p < hi; ++p) {
      project_point(by_dim.data(), data.row(p), d, sums.data());
      std::copy_n(sums.begin(), m, out.values.begin() + p * m);
    }
  });
  return out;
}

}  // namespace orlim
