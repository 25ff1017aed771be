#include "orlim/data/value_range.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

namespace orlim {

ColumnRange empty_column_range(std::size_t d) {
  ColumnRange range;
  range.low.assign(d, std::numeric_limits<float>::infinity());
  range.high.assign(d, -std::numeric_limits<float>::infinity());
  return range;
}

ColumnRange unit_column_range(std::size_t d) {
  ColumnRange range;
  range.low.assign(d, -1.0f);
  range.high.assign(d, 1.0f);
  return range;
}

void widen_column_range(ColumnRange& range, std::span<const float> values) {
  const std::size_t d = range.low.size();
  if (d == 0) return;
  float* low = range.low.data();
  float* high = range.high.data();
  for (std::size_t at = 0; at + d <= values.size(); at += d) {
    const float* row = values.data() + at;
    for (std::size_t c = 0; c < d; ++c) {
      low[c] = row[c] < low[c] ? row[c] : low[c];
      high[c] = row[c] > high[c] ? row[c] : high[c];
    }
  }
}

bool sq_distances_fit(const ColumnRange& range) {
  // A centred squared norm of the leaf kernel is at most this sum (a mean lies inside the range),
  // and the kernel's (n_i + n_j) - 2 g_ij reaches four times it at most: the factor 8 leaves
  // room for rounding.
  constexpr double kLimit = static_cast<double>(FLT_MAX) / 8.0;
  double sum = 0.0;
  for (std::size_t c = 0; c < range.low.size(); ++c) {
    if (!(range.low[c] <= range.high[c])) continue;  // no row yet
    const double extent = static_cast<double>(range.high[c]) - static_cast<double>(range.low[c]);
    sum += extent * extent;
    if (sum > kLimit) return false;
  }
  return true;
}

}  // namespace orlim
