#include "orlim/kernels/distance.hpp"

#include <immintrin.h>

namespace orlim {

float sq_l2_scalar(const float* a, const float* b, std::size_t d) {
  float s0[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  float s1[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 16 <= d; i += 16) {
    for (int l = 0; l < 8; ++l) {
      const float x = a[i + l] - b[i + l];
      const float y = a[i + 8 + l] - b[i + 8 + l];
      s0[l] += x * x;
      s1[l] += y * y;
    }
  }
  for (; i + 8 <= d; i += 8) {
    for (int l = 0; l < 8; ++l) {
      const float x = a[i + l] - b[i + l];
      s0[l] += x * x;
    }
  }
  float t[8];
  for (int l = 0; l < 8; ++l) t[l] = s0[l] + s1[l];
  float s = (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]);
  for (; i < d; ++i) {
    const float x = a[i] - b[i];
    s += x * x;
  }
  return s;
}

namespace {

// Lanes 0-3 and 4-7 of the horizontal combine, with the association order of the scalar path.
inline float combine_lanes(const float* t) {
  return (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]);
}

inline float add_tail(float s, const float* a, const float* b, std::size_t i, std::size_t d) {
  for (; i < d; ++i) {
    const float x = a[i] - b[i];
    s += x * x;
  }
  return s;
}

}  // namespace

float sq_l2_sse2(const float* a, const float* b, std::size_t d) {
  // Each 8-lane accumulator is two 4-lane registers: lo holds lanes 0-3, hi lanes 4-7.
  __m128 s0lo = _mm_setzero_ps(), s0hi = _mm_setzero_ps();
  __m128 s1lo = _mm_setzero_ps(), s1hi = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= d; i += 16) {
    const __m128 x0 = _mm_sub_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    const __m128 x1 = _mm_sub_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
    const __m128 y0 = _mm_sub_ps(_mm_loadu_ps(a + i + 8), _mm_loadu_ps(b + i + 8));
    const __m128 y1 = _mm_sub_ps(_mm_loadu_ps(a + i + 12), _mm_loadu_ps(b + i + 12));
    s0lo = _mm_add_ps(s0lo, _mm_mul_ps(x0, x0));
    s0hi = _mm_add_ps(s0hi, _mm_mul_ps(x1, x1));
    s1lo = _mm_add_ps(s1lo, _mm_mul_ps(y0, y0));
    s1hi = _mm_add_ps(s1hi, _mm_mul_ps(y1, y1));
  }
  for (; i + 8 <= d; i += 8) {
    const __m128 x0 = _mm_sub_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    const __m128 x1 = _mm_sub_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
    s0lo = _mm_add_ps(s0lo, _mm_mul_ps(x0, x0));
    s0hi = _mm_add_ps(s0hi, _mm_mul_ps(x1, x1));
  }
  alignas(16) float t[8];
  _mm_store_ps(t, _mm_add_ps(s0lo, s1lo));
  _mm_store_ps(t + 4, _mm_add_ps(s0hi, s1hi));
  return add_tail(combine_lanes(t), a, b, i, d);
}

__attribute__((target("avx2"))) float sq_l2_avx2(const float* a, const float* b, std::size_t d) {
  __m256 s0 = _mm256_setzero_ps();
  __m256 s1 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= d; i += 16) {
    const __m256 x = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    const __m256 y = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    s0 = _mm256_add_ps(s0, _mm256_mul_ps(x, x));
    s1 = _mm256_add_ps(s1, _mm256_mul_ps(y, y));
  }
  if (i + 8 <= d) {
    const __m256 x = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    s0 = _mm256_add_ps(s0, _mm256_mul_ps(x, x));
    i += 8;
  }
  alignas(32) float t[8];
  _mm256_store_ps(t, _mm256_add_ps(s0, s1));
  return add_tail(combine_lanes(t), a, b, i, d);
}

void sq_l2_x4_portable(const float* a, const float* const b[4], std::size_t d, float out[4]) {
  for (int r = 0; r < 4; ++r) out[r] = sq_l2_sse2(a, b[r], d);
}

__attribute__((target("avx2"))) void sq_l2_x4_avx2(const float* a, const float* const b[4],
                                                   std::size_t d, float out[4]) {
  __m256 s0[4], s1[4];
  for (int r = 0; r < 4; ++r) s0[r] = s1[r] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= d; i += 16) {
    const __m256 a0 = _mm256_loadu_ps(a + i);
    const __m256 a1 = _mm256_loadu_ps(a + i + 8);
    for (int r = 0; r < 4; ++r) {
      const __m256 x = _mm256_sub_ps(a0, _mm256_loadu_ps(b[r] + i));
      const __m256 y = _mm256_sub_ps(a1, _mm256_loadu_ps(b[r] + i + 8));
      s0[r] = _mm256_add_ps(s0[r], _mm256_mul_ps(x, x));
      s1[r] = _mm256_add_ps(s1[r], _mm256_mul_ps(y, y));
    }
  }
  const bool block8 = i + 8 <= d;
  if (block8) {
    const __m256 a0 = _mm256_loadu_ps(a + i);
    for (int r = 0; r < 4; ++r) {
      const __m256 x = _mm256_sub_ps(a0, _mm256_loadu_ps(b[r] + i));
      s0[r] = _mm256_add_ps(s0[r], _mm256_mul_ps(x, x));
    }
    i += 8;
  }
  for (int r = 0; r < 4; ++r) {
    alignas(32) float t[8];
    _mm256_store_ps(t, _mm256_add_ps(s0[r], s1[r]));
    out[r] = add_tail(combine_lanes(t), a, b[r], i, d);
  }
}

SqL2x4Fn sq_l2_x4_kernel() {
  static const SqL2x4Fn chosen = avx2_supported() ? &sq_l2_x4_avx2 : &sq_l2_x4_portable;
  return chosen;
}

bool avx2_supported() { return __builtin_cpu_supports("avx2"); }

SqL2Fn sq_l2_kernel() {
  static const SqL2Fn chosen = avx2_supported() ? &sq_l2_avx2 : &sq_l2_sse2;
  return chosen;
}

}  // namespace orlim
