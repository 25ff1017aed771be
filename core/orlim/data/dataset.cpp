#include "orlim/data/dataset.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "orlim/base/failure.hpp"

namespace orlim {

float sq_norm(const float* row, std::size_t d) {
  float s = 0.0f;
  for (std::size_t j = 0; j < d; ++j) s += row[j] * row[j];
  return s;
}

namespace {

// Scales one row of w values to unit length in place. The squares are taken of the row scaled by
// a power of two that brings its largest magnitude to [1, 2): squaring the values as given would
// overflow to an infinite sum from about 1e19 on (every value then became 0) and underflow to 0
// below about 1e-19 (the row stayed unnormalized). A power of two is exact, so for rows that
// never came near either limit the result is bit for bit that of the plain formula
// x / sqrt(sum x^2) in float32. Rows without a nonzero value, or with a NaN, stay as they are; a
// row holding an infinity takes the plain formula (its sum is infinite, the row becomes 0 and
// NaN).
void normalize_row(float* row, std::size_t w) {
  float top = 0.0f;
  for (std::size_t j = 0; j < w; ++j) top = std::max(top, std::fabs(row[j]));  // NaN is skipped
  float scale = 1.0f;
  if (top > 0.0f && std::isfinite(top)) {
    // Exponents below the normal range stop at the smallest normal one: a row that small is
    // scaled up exactly by 2^126 and its sum still lands far above the underflow.
    scale = std::ldexp(1.0f, -std::max(std::ilogb(top), FLT_MIN_EXP - 1));
  }
  float s = 0.0f;
  for (std::size_t j = 0; j < w; ++j) {
    const float y = row[j] * scale;
    s += y * y;
  }
  if (s > 0.0f) {  // all-zero rows and NaN sums stay as they are
    const float inv = 1.0f / std::sqrt(s);
    for (std::size_t j = 0; j < w; ++j) row[j] = (row[j] * scale) * inv;
  }
}

}  // namespace

void normalize_rows(std::span<float> values, std::size_t d) {
  const std::size_t w = std::max<std::size_t>(d, 1);
  for (std::size_t r = 0; r < values.size() / w; ++r) normalize_row(values.data() + r * w, w);
}

Dataset Dataset::stored(std::span<const float> values, std::size_t n_rows, std::size_t dims,
                        Metric which) {
  // Built as Euclidean so the values are borrowed as they are, then labelled with the metric.
  Dataset out(values, n_rows, dims, Metric::Euclidean);
  out.metric = which;
  return out;
}

Dataset::Dataset(std::span<const float> values, std::size_t n_rows, std::size_t dims, Metric which)
    : n(n_rows), d(dims), metric(which) {
  std::size_t expected = 0;
  if (__builtin_mul_overflow(n_rows, dims, &expected) || values.size() != expected) {
    fail("data length must equal n*d");
  }
  // Rows are runs of w values, so d == 0 needs no special case: there are no runs at all.
  const std::size_t w = std::max<std::size_t>(dims, 1);
  const std::size_t runs = values.size() / w;
  if (which == Metric::Euclidean) {
    data = values;
  } else {
    owned.assign(values.begin(), values.end());
    normalize_rows(owned, w);
    data = owned;
  }
  norms.resize(runs);
  for (std::size_t r = 0; r < runs; ++r) norms[r] = sq_norm(data.data() + r * w, w);
}

}  // namespace orlim
