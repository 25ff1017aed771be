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
    for (std::size_t r = 0; r < runs; ++r) {
      float* row = owned.data() + r * w;
      const float s = sq_norm(row, w);
      if (s > 0.0f) {  // all-zero rows and NaN sums stay as they are
        const float inv = 1.0f / std::sqrt(s);
        for (std::size_t j = 0; j < w; ++j) row[j] *= inv;
      }
    }
    data = owned;
  }
  norms.resize(runs);
  for (std::size_t r = 0; r < runs; ++r) norms[r] = sq_norm(data.data() + r * w, w);
}

}  // namespace orlim
