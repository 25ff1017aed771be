// The n x d float32 point matrix every build and query reads, with per-row squared norms.
//
// Euclidean data sets borrow the caller's row-major values (which must outlive the Dataset and
// stay unchanged); cosine data sets own a copy whose rows are normalized to unit length. Immutable
// after construction and read by all workers without locks.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "orlim/data/metric.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

struct Dataset {
  // `values` must hold exactly n * d floats (else Failure "data length must equal n*d").
  Dataset(std::span<const float> values, std::size_t n, std::size_t d, Metric metric);

  // Borrows values already in stored form (normalized rows for cosine, as `data` holds them) and
  // only computes the norms: the way back from a saved index.
  static Dataset stored(std::span<const float> values, std::size_t n, std::size_t d,
                        Metric metric);

  Dataset(Dataset&&) noexcept = default;
  Dataset& operator=(Dataset&&) noexcept = default;
  Dataset(const Dataset&) = delete;
  Dataset& operator=(const Dataset&) = delete;

  const float* row(std::size_t i) const { return data.data() + i * d; }

  std::vector<float> norms;     // squared norm of each stored row; empty when d == 0
  std::vector<float> owned;     // the normalized copy (cosine only)
  std::span<const float> data;  // n * d stored values, row-major
  std::size_t n = 0;
  std::size_t d = 0;
  Metric metric = Metric::Euclidean;
};

// Scales every row of d values (d >= 1) to unit length as a cosine Dataset stores it; all-zero
// rows stay zero.
void normalize_rows(std::span<float> values, std::size_t d);

// Squared norm of one row in element order (products rounded before each addition).
float sq_norm(const float* row, std::size_t d);

}  // namespace orlim
