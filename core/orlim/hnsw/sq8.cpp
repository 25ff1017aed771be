#include "orlim/hnsw/sq8.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "orlim/base/failure.hpp"

namespace orlim::hnsw {

namespace {

// Code of x for a dimension starting at lo with the given step: round half away from zero, clamp
// to [0, 255], NaN to 0.
std::uint8_t encode(float x, float lo, float step) {
  const float v = std::round((x - lo) / step);
  if (!(v > 0.0f)) return 0;
  return v >= 255.0f ? 255 : static_cast<std::uint8_t>(v);
}

}  // namespace

Sq8::Sq8(const Dataset& data) : dim(data.d) {
  const std::size_t n = data.n;
  const std::size_t d = data.d;
  std::vector<float> lo(d, std::numeric_limits<float>::infinity());
  std::vector<float> hi(d, -std::numeric_limits<float>::infinity());
  for (std::size_t p = 0; p < n; ++p) {
    const float* row = data.row(p);
    for (std::size_t j = 0; j < d; ++j) {
      if (row[j] < lo[j]) lo[j] = row[j];
      if (row[j] > hi[j]) hi[j] = row[j];
    }
  }
  std::vector<float> step(d);
  weights.resize(d);
  for (std::size_t j = 0; j < d; ++j) {
    const float range = hi[j] - lo[j];
    // A constant dimension, an empty data set and a NaN range all get step 1.
    step[j] = range > 0.0f ? range / 255.0f : 1.0f;
    weights[j] = step[j] * step[j];
  }
  codes.resize(checked_mul(n, d, "SQ8 codes"));
  for (std::size_t p = 0; p < n; ++p) {
    const float* row = data.row(p);
    std::uint8_t* out = codes.data() + p * d;
    for (std::size_t j = 0; j < d; ++j) out[j] = encode(row[j], lo[j], step[j]);
  }
}

namespace {

inline float term(const std::uint8_t* a, const std::uint8_t* b, const float* w, std::size_t j) {
  const float delta = static_cast<float>(a[j]) - static_cast<float>(b[j]);
  return delta * (w[j] * delta);
}

inline float combine_lanes(const float* t) {
  return (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]);
}

inline float add_tail(float s, const std::uint8_t* a, const std::uint8_t* b, const float* w,
                      std::size_t j, std::size_t d) {
  for (; j < d; ++j) s += term(a, b, w, j);
  return s;
}

}  // namespace

float sq8_distance_scalar(const std::uint8_t* a, const std::uint8_t* b, const float* w,
                          std::size_t d) {
  float acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // lanes 0-3 are A, 4-7 are B
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    for (std::size_t l = 0; l < 8; ++l) acc[l] += term(a, b, w, j + l);
  }
  return add_tail(combine_lanes(acc), a, b, w, j, d);
}

float sq8_distance_sse2(const std::uint8_t* a, const std::uint8_t* b, const float* w,
                        std::size_t d) {
  const __m128i zero = _mm_setzero_si128();
  __m128 acc_a = _mm_setzero_ps();
  __m128 acc_b = _mm_setzero_ps();
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    // Widen 8 codes to two 4 x int32 halves; their difference converts to float exactly.
    const __m128i a16 =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + j)), zero);
    const __m128i b16 =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + j)), zero);
    const __m128 lo = _mm_cvtepi32_ps(
        _mm_sub_epi32(_mm_unpacklo_epi16(a16, zero), _mm_unpacklo_epi16(b16, zero)));
    const __m128 hi = _mm_cvtepi32_ps(
        _mm_sub_epi32(_mm_unpackhi_epi16(a16, zero), _mm_unpackhi_epi16(b16, zero)));
    acc_a = _mm_add_ps(acc_a, _mm_mul_ps(lo, _mm_mul_ps(_mm_loadu_ps(w + j), lo)));
    acc_b = _mm_add_ps(acc_b, _mm_mul_ps(hi, _mm_mul_ps(_mm_loadu_ps(w + j + 4), hi)));
  }
  alignas(16) float t[8];
  _mm_store_ps(t, acc_a);
  _mm_store_ps(t + 4, acc_b);
  return add_tail(combine_lanes(t), a, b, w, j, d);
}

__attribute__((target("avx2"))) float sq8_distance_avx2(const std::uint8_t* a,
                                                        const std::uint8_t* b, const float* w,
                                                        std::size_t d) {
  __m256 acc = _mm256_setzero_ps();  // lanes 0-3 are A, 4-7 are B
  std::size_t j = 0;
  for (; j + 8 <= d; j += 8) {
    const __m256i ca =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + j)));
    const __m256i cb =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + j)));
    const __m256 delta = _mm256_cvtepi32_ps(_mm256_sub_epi32(ca, cb));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(delta, _mm256_mul_ps(_mm256_loadu_ps(w + j), delta)));
  }
  alignas(32) float t[8];
  _mm256_store_ps(t, acc);
  return add_tail(combine_lanes(t), a, b, w, j, d);
}

Sq8Fn sq8_kernel() {
  static const Sq8Fn chosen =
      __builtin_cpu_supports("avx2") ? &sq8_distance_avx2 : &sq8_distance_sse2;
  return chosen;
}

}  // namespace orlim::hnsw
