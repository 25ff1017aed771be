#include "orlim/data/dataset.hpp"

#include <algorithm>
#include <cmath>

#include "orlim/base/failure.hpp"

namespace orlim {

float sq_norm(const float* row, std::size_t d) {
  float s = 0.0f;
  for (std::size_t j = 0; j < d; ++j) s += row[j] * row[j];
  return s;
}

void normalize_rows(std::span<float> values, std::size_t d) {
  const std::size_t w = std::max<std::size_t>(d, 1);
  for (std::size_t r = 0; r < values.size() / w; ++r) {
    float* row = values.data() + r * w;
    const float s = sq_norm(row, w);
    if (s > 0.0f) {  // all-zero rows and NaN sums stay as they are
      const float inv = 1.0f / std::sqrt(s);
      for (std::size_t j = 0; j < w; ++j) row[j] *= inv;
    }
  }
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
