#include "orlim/kernels/gemm.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "orlim/base/failure.hpp"
#include "orlim/kernels/blas.hpp"

namespace orlim {

namespace {

// G = A[r0, r1) * A^T: the leaf's rows [r0, r1) against all t rows, row-major with row stride t.
void gram_rows(const float* a, std::size_t t, std::size_t d, std::size_t r0, std::size_t r1,
               float* g) {
  if (t > static_cast<std::size_t>(INT_MAX) || d > static_cast<std::size_t>(INT_MAX)) {
    fail("leaf too large for the BLAS integer type");
  }
  const int ti = static_cast<int>(t);
  const int di = static_cast<int>(d);
  sgemm_nt(static_cast<int>(r1 - r0), ti, di, a + r0 * d, di, a, di, g, ti);
}

// Turns one row of the product into distances: (norm_i + norms[j]) - (g[j] + g[j]), clamped at 0.
// Rounding can make the expansion slightly negative for near-duplicates, hence the clamp; NaN
// (from non-finite input) falls to 0 as well, so later comparisons stay ordered. The vector loop
// does the same float32 operations in the same order as the scalar tail, so results are
// identical; -O2 would not vectorize this loop on its own.
void expand_row(float* g, const float* norms, float norm_i, std::size_t t) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128 ni = _mm_set1_ps(norm_i);
  const __m128 zero = _mm_setzero_ps();
  for (; j + 4 <= t; j += 4) {
    const __m128 dot = _mm_loadu_ps(g + j);
    const __m128 s = _mm_sub_ps(_mm_add_ps(ni, _mm_loadu_ps(norms + j)), _mm_add_ps(dot, dot));
    _mm_storeu_ps(g + j, _mm_max_ps(s, zero));  // maxps yields its second operand for NaN
  }
#endif
  for (; j < t; ++j) {
    const float s = (norm_i + norms[j]) - (g[j] + g[j]);
    g[j] = s > 0.0f ? s : 0.0f;
  }
}

}  // namespace

void gram_upper(const float* rows, std::size_t count, std::size_t d, float* out) {
  if (count > static_cast<std::size_t>(INT_MAX) || d > static_cast<std::size_t>(INT_MAX)) {
    fail("gram: too many rows for the BLAS integer type");
  }
  if (count == 0) return;
  const int n = static_cast<int>(count);
  const int k = static_cast<int>(d);
  ssyrk_upper(n, k, rows, k, out, n);
}

void cross_products(const float* a, std::size_t rows_a, const float* b, std::size_t rows_b,
                    std::size_t d, float* out) {
  if (rows_a > static_cast<std::size_t>(INT_MAX) || rows_b > static_cast<std::size_t>(INT_MAX) ||
      d > static_cast<std::size_t>(INT_MAX)) {
    fail("cross products: too many rows for the BLAS integer type");
  }
  if (rows_a == 0 || rows_b == 0) return;
  const int nb = static_cast<int>(rows_b);
  const int k = static_cast<int>(d);
  sgemm_nt(static_cast<int>(rows_a), nb, k, a, k, b, k, out, nb);
}

float product_margin(std::size_t d) {
  return static_cast<float>((8.0 * static_cast<double>(d) + 128.0) * 0x1p-24);
}

float move_row(const float* from, const float* origin, std::size_t d, float* to) {
  std::size_t c = 0;
  float sum = 0.0f;
#if defined(__SSE2__)
  // Eight interleaved partial sums: any order suits the products' bound (product_margin), and
  // this one runs at the vector unit's speed rather than at one dependent addition per value.
  __m128 s0 = _mm_setzero_ps();
  __m128 s1 = _mm_setzero_ps();
  for (; c + 8 <= d; c += 8) {
    const __m128 a = _mm_sub_ps(_mm_loadu_ps(from + c), _mm_loadu_ps(origin + c));
    const __m128 b = _mm_sub_ps(_mm_loadu_ps(from + c + 4), _mm_loadu_ps(origin + c + 4));
    _mm_storeu_ps(to + c, a);
    _mm_storeu_ps(to + c + 4, b);
    s0 = _mm_add_ps(s0, _mm_mul_ps(a, a));
    s1 = _mm_add_ps(s1, _mm_mul_ps(b, b));
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, _mm_add_ps(s0, s1));
  sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
#endif
  for (; c < d; ++c) {
    to[c] = from[c] - origin[c];
    sum += to[c] * to[c];
  }
  return sum;
}

void centre_rows(float* rows, std::size_t count, std::size_t d, double* sums, float* mean,
                 float* norms) {
  std::fill_n(sums, d, 0.0);
  for (std::size_t i = 0; i < count; ++i) {
    const float* row = rows + i * d;
    for (std::size_t c = 0; c < d; ++c) sums[c] += static_cast<double>(row[c]);
  }
  const double scale = count > 0 ? 1.0 / static_cast<double>(count) : 0.0;
  for (std::size_t c = 0; c < d; ++c) {
    const auto m = static_cast<float>(sums[c] * scale);
    mean[c] = std::isfinite(m) ? m : 0.0f;
  }
  for (std::size_t i = 0; i < count; ++i) norms[i] = move_row(rows + i * d, mean, d, rows + i * d);
}

void gather_leaf(const Dataset& data, std::span<const PointId> ids, LeafRows& out) {
  const std::size_t t = ids.size();
  const std::size_t d = data.d;
  checked_mul(checked_mul(t, t, "leaf t * t"), sizeof(float), "leaf distance bytes");
  checked_mul(checked_mul(t, d, "leaf t * d"), sizeof(float), "leaf row bytes");
  out.t = t;
  out.d = d;
  out.rows.resize(t * d);
  out.norms.resize(t);
  out.sums.resize(d);
  out.mean.resize(d);
  // Every id is checked against the norms too: a data set with d = 0 has none, and nothing below
  // may read past them.
  for (std::size_t i = 0; i < t; ++i) {
    const PointId id = ids[i];
    if (id >= data.n || id >= data.norms.size()) fail("leaf id out of range");
    std::copy_n(data.row(id), d, out.rows.data() + i * d);
  }
  centre_rows(out.rows.data(), t, d, out.sums.data(), out.mean.data(), out.norms.data());
}

void leaf_products_rows(const LeafRows& leaf, std::size_t r0, std::size_t r1, float* out) {
  if (r0 >= r1) return;
  if (r1 > leaf.t) fail("leaf row range past the leaf");
  gram_rows(leaf.rows.data(), leaf.t, leaf.d, r0, r1, out);
}

void finish_leaf_row(const LeafRows& leaf, std::size_t i, float* row) {
  expand_row(row, leaf.norms.data(), leaf.norms[i], leaf.t);
  row[i] = 0.0f;  // exact, whatever the norms and the product gave
}

LeafDists leaf_sq_dists(const Dataset& data, std::span<const PointId> ids) {
  LeafDists out;
  out.t = ids.size();
  if (out.t == 0) return out;
  LeafRows leaf;
  gather_leaf(data, ids, leaf);
  out.values = std::make_unique_for_overwrite<float[]>(out.t * out.t);
  leaf_products_rows(leaf, 0, out.t, out.values.get());
  for (std::size_t i = 0; i < out.t; ++i) finish_leaf_row(leaf, i, out.values.get() + i * out.t);
  return out;
}

}  // namespace orlim
