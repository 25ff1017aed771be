// The squared Euclidean distance with its fixed association order.
//
// Sum of (a[j] - b[j])^2 over j < d in float32: two 8-lane accumulators take 16-value blocks
// (lanes 0-7 and 8-15), then one more 8-value block goes to the first, the lanes are combined as
// T = S0 + S1, s = (((T0+T1)+T2)+T3) + (((T4+T5)+T6)+T7), and the tail of fewer than 8 values is
// added in order. Every SIMD path reproduces the scalar result bit for bit. Pure and thread-safe.
#pragma once

#include <cstddef>

namespace orlim {

using SqL2Fn = float (*)(const float* a, const float* b, std::size_t d);

// The reference order, one value at a time.
float sq_l2_scalar(const float* a, const float* b, std::size_t d);
// The same order on two 4-lane halves per accumulator (SSE2 is part of every x86-64).
float sq_l2_sse2(const float* a, const float* b, std::size_t d);
// The same order on 8-lane AVX2 registers; only call when avx2_supported().
float sq_l2_avx2(const float* a, const float* b, std::size_t d);

// out[r] = sq_l2(a, b[r], d) for r < 4, bit for bit, computed together: four independent
// accumulation chains hide the latency that bounds a single distance.
using SqL2x4Fn = void (*)(const float* a, const float* const b[4], std::size_t d, float out[4]);
void sq_l2_x4_portable(const float* a, const float* const b[4], std::size_t d, float out[4]);
void sq_l2_x4_avx2(const float* a, const float* const b[4], std::size_t d, float out[4]);
SqL2x4Fn sq_l2_x4_kernel();
inline void sq_l2_x4(const float* a, const float* const b[4], std::size_t d, float out[4]) {
  sq_l2_x4_kernel()(a, b, d, out);
}

// Asks for the cache lines of one row of d floats, ahead of a distance that will read it.
inline void prefetch_row(const float* row, std::size_t d) {
  const char* p = reinterpret_cast<const char*>(row);
  for (std::size_t off = 0; off < d * sizeof(float); off += 64) __builtin_prefetch(p + off);
}

bool avx2_supported();

// The fastest kernel this CPU runs, chosen once per process.
SqL2Fn sq_l2_kernel();

inline float sq_l2(const float* a, const float* b, std::size_t d) {
  return sq_l2_kernel()(a, b, d);
}

}  // namespace orlim
