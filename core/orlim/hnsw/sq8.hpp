// The 8-bit scalar quantizer of the HNSW backend and its point distance.
//
// Each dimension gets its own affine code range from its minimum and maximum over the data set;
// points are compared code against code (both sides quantized). The distance sums
// t(j) = delta * (weights[j] * delta), delta = code_a[j] - code_b[j], in a fixed association
// order: two 4-lane accumulators A and B take 8-dimension blocks (A the first four, B the last
// four), s = (((A0+A1)+A2)+A3) + (((B0+B1)+B2)+B3), then the tail of fewer than 8 dimensions is
// added in order. Every SIMD path reproduces the scalar result bit for bit.
//
// An Sq8 is immutable once made and read by all workers without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/base/types.hpp"

namespace orlim::hnsw {

struct Sq8 {
  // Encodes the stored rows (normalized ones for the cosine metric). Runs on the calling thread.
  explicit Sq8(const Dataset& data);

  const std::uint8_t* code(PointId p) const { return codes.data() + p * dim; }

  std::vector<std::uint8_t> codes;  // n * dim, row-major
  std::vector<float> weights;       // dim entries: the squared width of one code step
  std::size_t dim = 0;
};

using Sq8Fn = float (*)(const std::uint8_t* a, const std::uint8_t* b, const float* weights,
                        std::size_t d);

// The reference order, one dimension at a time.
float sq8_distance_scalar(const std::uint8_t* a, const std::uint8_t* b, const float* weights,
                          std::size_t d);
// Both accumulators as 4-lane SSE2 registers (SSE2 is part of every x86-64).
float sq8_distance_sse2(const std::uint8_t* a, const std::uint8_t* b, const float* weights,
                        std::size_t d);
// A and B side by side in one 8-lane AVX2 register; only call when the CPU has AVX2.
float sq8_distance_avx2(const std::uint8_t* a, const std::uint8_t* b, const float* weights,
                        std::size_t d);

// The fastest kernel this CPU runs, chosen once per process.
Sq8Fn sq8_kernel();

// The SQ8 point distance as the graph's distance functor.
struct Sq8Distance {
  explicit Sq8Distance(const Sq8& sq8) : sq8(&sq8), kernel(sq8_kernel()) {}

  float operator()(PointId a, PointId b) const {
    return kernel(sq8->code(a), sq8->code(b), sq8->weights.data(), sq8->dim);
  }
  // The first line only, as for the float rows (see ExactDistance::prefetch).
  void prefetch(PointId p) const { __builtin_prefetch(sq8->code(p)); }

  const Sq8* sq8;
  Sq8Fn kernel;
};

}  // namespace orlim::hnsw
