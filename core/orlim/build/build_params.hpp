// The build parameter record, filled by the bindings and read by every build phase.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orlim/data/metric.hpp"

namespace orlim {

struct BuildParams {
  std::size_t m = 12;        // hyperplanes per relative code, at most 16
  std::size_t l_max = 64;    // reservoir capacity; cap on leaf-mates offered per leaf
  std::size_t r = 64;        // degree bound, at least 1
  float alpha = 1.2f;        // alpha of the pruning rule
  std::size_t fanout = 2;    // leaves per point after the halo step
  std::size_t c_min = 256;   // carried for callers; no build phase reads it
  std::size_t c_max = 2048;  // leaf size bound before the halo, at least 1
  std::size_t runs = 1;      // independent partitions; 0 acts as 1
  std::uint64_t seed = 0;
  Metric metric = Metric::Euclidean;  // carried; the Dataset already holds its preprocessing
};

}  // namespace orlim
