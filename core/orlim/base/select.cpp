#include "orlim/base/select.hpp"

#include <algorithm>
#include <limits>

#include <immintrin.h>

#include "orlim/kernels/distance.hpp"

namespace orlim {

namespace {

std::size_t count_at_most_portable(const std::int32_t* v, std::size_t n, std::int32_t x) {
  std::size_t count = 0;
  for (std::size_t j = 0; j < n; ++j) count += v[j] <= x;
  return count;
}

__attribute__((target("avx2"))) std::size_t count_at_most_avx2(const std::int32_t* v, std::size_t n,
                                                               std::int32_t x) {
  const __m256i bound = _mm256_set1_epi32(x);
  __m256i above = _mm256_setzero_si256();  // minus the number of values above x, per lane
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + j));
    above = _mm256_add_epi32(above, _mm256_cmpgt_epi32(a, bound));
  }
  __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(above), _mm256_extracti128_si256(above, 1));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
  std::size_t count = j - static_cast<std::size_t>(-_mm_cvtsi128_si32(sum));
  for (; j < n; ++j) count += v[j] <= x;
  return count;
}

// Key e goes to the place given by how many keys are smaller: four keys' places per step,
// compared as signed integers once the top bit is flipped.
__attribute__((target("avx2"))) void rank_sort_avx2(std::uint64_t* keys, std::size_t n,
                                                    std::uint64_t* scratch) {
  constexpr std::uint64_t kFlip = std::uint64_t{1} << 63;
  for (std::size_t e = 0; e < n; ++e) scratch[e] = keys[e] ^ kFlip;
  const auto* flipped = reinterpret_cast<const long long*>(scratch);
  for (std::size_t c = 0; c < n; c += 4) {
    alignas(32) long long chunk[4];
    for (std::size_t q = 0; q < 4; ++q) chunk[q] = flipped[std::min(c + q, n - 1)];
    const __m256i mine = _mm256_load_si256(reinterpret_cast<const __m256i*>(chunk));
    __m256i below = _mm256_setzero_si256();  // minus the number of smaller keys, per lane
    for (std::size_t f = 0; f < n; ++f) {
      below = _mm256_add_epi64(below, _mm256_cmpgt_epi64(mine, _mm256_set1_epi64x(flipped[f])));
    }
    alignas(32) long long place[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(place), below);
    for (std::size_t q = 0; q < 4 && c + q < n; ++q) {
      keys[static_cast<std::size_t>(-place[q])] = static_cast<std::uint64_t>(chunk[q]) ^ kFlip;
    }
  }
}

using CountFn = std::size_t (*)(const std::int32_t*, std::size_t, std::int32_t);

CountFn count_kernel() {
  static const CountFn chosen = avx2_supported() ? &count_at_most_avx2 : &count_at_most_portable;
  return chosen;
}

}  // namespace

void sort_distinct(std::uint64_t* keys, std::size_t n, std::uint64_t* scratch) {
  // Counting costs n^2 / 4 steps: past this a comparison sort's mispredictions cost less.
  constexpr std::size_t kMaxRanked = 256;
  static const bool vector = avx2_supported();
  if (vector && n <= kMaxRanked) {
    rank_sort_avx2(keys, n, scratch);
  } else {
    std::sort(keys, keys + n);
  }
}

std::int32_t kth_smallest(const std::int32_t* v, std::size_t n, std::size_t rank) {
  const CountFn count_at_most = count_kernel();
  std::int32_t lo = std::numeric_limits<std::int32_t>::max();
  std::int32_t hi = std::numeric_limits<std::int32_t>::min();
  for (std::size_t j = 0; j < n; ++j) {
    lo = std::min(lo, v[j]);
    hi = std::max(hi, v[j]);
  }
  // Invariant: at most rank values lie below lo, and more than rank lie at or below hi.
  while (lo < hi) {
    const auto mid = static_cast<std::int32_t>(lo + (static_cast<std::int64_t>(hi) - lo) / 2);
    if (count_at_most(v, n, mid) > rank) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

void keep_smallest_in_order(std::int32_t* v, std::uint32_t* ids, std::size_t n, std::size_t k) {
  if (k == 0 || k >= n) return;
  const std::int32_t kth = kth_smallest(v, n, k - 1);
  // Entries below the k-th value are all kept; of those equal to it, as many as still fit.
  std::size_t ties =
      k - (kth == std::numeric_limits<std::int32_t>::min() ? 0 : count_kernel()(v, n, kth - 1));
  std::size_t kept = 0;
  for (std::size_t e = 0; e < n; ++e) {
    const std::int32_t b = v[e];
    const bool tie = b == kth && ties > 0;
    ties -= tie;
    v[kept] = b;
    ids[kept] = ids[e];
    kept += b < kth || tie;
  }
}

}  // namespace orlim
