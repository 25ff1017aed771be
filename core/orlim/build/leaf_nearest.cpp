#include "orlim/build/leaf_nearest.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include <immintrin.h>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/select.hpp"

namespace orlim {

namespace {

// About this many evenly spaced entries of a long row give it a threshold; rows of at most four
// times as many entries are selected whole.
constexpr std::size_t kSample = 128;
// The vector path sorts by counting ranks, which costs k^2 / 8 steps: for longer selections a
// comparison sort is cheaper.
constexpr std::size_t kMaxRanked = 128;

// A threshold from an evenly spaced sample of the row, set generously above the sample's share
// of the k nearest: one cheap pass then collects a short superset of them, and only that superset
// is selected and sorted. Rows too short for a useful sample get +infinity (every entry passes).
// `kth` is the selection used on the sample: the rank-th smallest (0-based) of n values.
template <typename Kth>
float sample_threshold(const float* row, std::size_t t, std::size_t i, std::size_t k, Kth kth) {
  if (t <= 4 * kSample || k >= t / 8) return INFINITY;
  float sample[2 * kSample];
  std::size_t taken = 0;
  const std::size_t step = t / kSample;
  for (std::size_t j = step / 2; j < t && taken < 2 * kSample; j += step) {
    if (j != i) sample[taken++] = row[j];
  }
  // The sample's expected share of the k nearest, plus about two standard deviations: the
  // threshold then falls short of the k-th distance in only a few rows in a hundred.
  const std::size_t expected = k * taken / t;
  const auto spread = static_cast<std::size_t>(2.0 * std::sqrt(static_cast<double>(expected)));
  const std::size_t rank = std::min(taken - 1, expected + spread + 2);
  return kth(sample, taken, rank);
}

// ---- Portable path: selection and sort of 64-bit keys.

void nearest_keys_portable(const float* row, std::size_t t, std::size_t i, std::size_t k,
                           std::uint64_t* keys) {
  const float limit = sample_threshold(row, t, i, k, [](float* v, std::size_t n, std::size_t r) {
    std::nth_element(v, v + r, v + n);
    return v[r];
  });
  std::size_t count = 0;
  if (limit != INFINITY) {
    for (std::size_t j = 0; j < t; ++j) {
      keys[count] = leaf_key(row[j], j);
      count += row[j] <= limit && j != i;
    }
    // The sample misjudged the row: select from all of it instead, so the result stays exact.
    if (count < k) count = 0;
  }
  if (count == 0) {
    for (std::size_t j = 0; j < t; ++j) {
      if (j != i) keys[count++] = leaf_key(row[j], j);
    }
  }
  if (k < count) std::nth_element(keys, keys + k, keys + count);
  std::sort(keys, keys + std::min(k, count));
}

// ---- Vector path (AVX2): no data-dependent branches in the inner loops.
//
// A distance in a leaf row is never negative nor NaN, so its bits read as a signed 32-bit integer
// order the same way as the distance itself: the selection works on those integers.

// Entry l holds, in its nibble q, the position of the q-th set bit of the 8-bit mask l: the lane
// order that packs a comparison's passing lanes to the front.
constexpr std::array<std::uint32_t, 256> kPackOrder = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t mask = 0; mask < 256; ++mask) {
    std::uint32_t packed = 0;
    std::uint32_t slot = 0;
    for (std::uint32_t lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1u) packed |= lane << (4 * slot++);
    }
    table[mask] = packed;
  }
  return table;
}();

// The lanes of `values` selected by `mask`, packed to the front of a vector.
__attribute__((target("avx2"))) inline __m256i pack_lanes(__m256i values, unsigned mask) {
  const __m256i order =
      _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(kPackOrder[mask])),
                                         _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28)),
                       _mm256_set1_epi32(7));
  return _mm256_permutevar8x32_epi32(values, order);
}

// Writes to picks the ascending positions j of row[0, t) with row[j] <= limit, and to bits their
// distances' bits; returns their number. Every step stores eight lanes and advances by the number
// that passed, so both outputs need 8 entries of slack.
__attribute__((target("avx2,popcnt"))) std::size_t pick_at_most(const float* row, std::size_t t,
                                                                float limit, std::uint32_t* picks,
                                                                std::int32_t* bits) {
  const __m256 bound = _mm256_set1_ps(limit);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  std::size_t count = 0;
  std::size_t j = 0;
  for (; j + 8 <= t; j += 8) {
    const __m256 v = _mm256_loadu_ps(row + j);
    const auto mask =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, bound, _CMP_LE_OQ)));
    const __m256i at = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(picks + count), pack_lanes(at, mask));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bits + count),
                        pack_lanes(_mm256_castps_si256(v), mask));
    count += static_cast<std::size_t>(_mm_popcnt_u32(mask));
  }
  for (; j < t; ++j) {
    picks[count] = static_cast<std::uint32_t>(j);
    bits[count] = std::bit_cast<std::int32_t>(row[j]);
    count += row[j] <= limit;
  }
  return count;
}

// Orders the k entries (bits[e], picks[e]), whose picks ascend, by (bits, pick) into keys[0, k):
// entry e goes to the place given by how many entries precede it in that order. Eight entries'
// places are counted at once against every other entry.
__attribute__((target("avx2"))) void rank_into_keys(const std::int32_t* bits,
                                                    const std::uint32_t* picks, std::size_t k,
                                                    const float* row, std::uint64_t* keys) {
  alignas(32) std::int32_t place[kMaxRanked + 8];
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (std::size_t c = 0; c < k; c += 8) {
    // Lanes past k hold copies of the last entry; their places are never read.
    alignas(32) std::int32_t chunk[8];
    for (std::size_t q = 0; q < 8; ++q) chunk[q] = bits[std::min(c + q, k - 1)];
    const __m256i mine = _mm256_load_si256(reinterpret_cast<const __m256i*>(chunk));
    // An entry f before the chunk precedes entry e when bits[f] <= bits[e], one after it when
    // bits[f] < bits[e]; the counts are kept negated, as the comparisons give them.
    __m256i not_before = _mm256_setzero_si256();  // minus #{f < c : bits[f] > bits[e]}
    __m256i after = _mm256_setzero_si256();       // minus #{f >= c + 8 : bits[f] < bits[e]}
    for (std::size_t f = 0; f < c; ++f) {
      not_before =
          _mm256_add_epi32(not_before, _mm256_cmpgt_epi32(_mm256_set1_epi32(bits[f]), mine));
    }
    for (std::size_t f = c + 8; f < k; ++f) {
      after = _mm256_add_epi32(after, _mm256_cmpgt_epi32(mine, _mm256_set1_epi32(bits[f])));
    }
    // Inside the chunk: f precedes e when (bits[f] < bits[e]) or (bits[f] == bits[e], f < e).
    __m256i inside = _mm256_setzero_si256();
    const __m256i at = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(c)));
    for (std::size_t f = c; f < std::min(c + 8, k); ++f) {
      const __m256i other = _mm256_set1_epi32(bits[f]);
      const __m256i less = _mm256_cmpgt_epi32(mine, other);
      const __m256i tie_before =
          _mm256_and_si256(_mm256_cmpeq_epi32(mine, other),
                           _mm256_cmpgt_epi32(at, _mm256_set1_epi32(static_cast<int>(f))));
      inside = _mm256_add_epi32(inside, _mm256_or_si256(less, tie_before));
    }
    // place = (c - #{f < c : bits[f] > bits[e]}) + #{f >= c + 8 : ...} + #{f in the chunk : ...}
    const __m256i total =
        _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(c)), not_before),
                         _mm256_add_epi32(after, inside));
    _mm256_store_si256(reinterpret_cast<__m256i*>(place + c), total);
  }
  for (std::size_t e = 0; e < k; ++e) {
    keys[place[e]] = leaf_key(row[picks[e]], picks[e]);
  }
}

// Drops the entry for position i, if any, from the ascending picks and their bits.
std::size_t drop_position(std::uint32_t* picks, std::int32_t* bits, std::size_t count,
                          std::size_t i) {
  const auto* end = picks + count;
  auto* at = std::lower_bound(picks, picks + count, static_cast<std::uint32_t>(i));
  if (at == end || *at != i) return count;
  const auto e = static_cast<std::size_t>(at - picks);
  std::copy(picks + e + 1, picks + count, picks + e);
  std::copy(bits + e + 1, bits + count, bits + e);
  return count - 1;
}

__attribute__((target("avx2,popcnt"))) void nearest_keys_avx2(const float* row, std::size_t t,
                                                              std::size_t i, std::size_t k,
                                                              NearestScratch& scratch) {
  std::uint32_t* picks = scratch.picks.data();
  std::int32_t* bits = scratch.bits.data();
  const float limit = sample_threshold(row, t, i, k, [](float* v, std::size_t n, std::size_t r) {
    std::int32_t sample_bits[2 * kSample];
    for (std::size_t q = 0; q < n; ++q) sample_bits[q] = std::bit_cast<std::int32_t>(v[q]);
    return std::bit_cast<float>(kth_smallest(sample_bits, n, r));
  });
  std::size_t count = 0;
  if (limit != INFINITY) {
    count = drop_position(picks, bits, pick_at_most(row, t, limit, picks, bits), i);
  }
  // No threshold, or the sample misjudged the row: select from all of it, so the result stays
  // exact.
  if (count < k) count = drop_position(picks, bits, pick_at_most(row, t, INFINITY, picks, bits), i);

  keep_smallest_in_order(bits, picks, count, k);
  std::uint64_t* keys = scratch.keys.data();
  if (k <= kMaxRanked) {
    rank_into_keys(bits, picks, k, row, keys);
  } else {
    for (std::size_t e = 0; e < k; ++e) keys[e] = leaf_key(row[picks[e]], picks[e]);
    std::sort(keys, keys + k);
  }
}

bool use_vector_path() {
  static const bool chosen = avx2_supported() && __builtin_cpu_supports("popcnt");
  return chosen;
}

}  // namespace

void NearestScratch::reserve(std::size_t t) {
  if (keys.size() < t) keys.resize(t);
  if (picks.size() < t + 8) picks.resize(t + 8);
  if (bits.size() < t + 8) bits.resize(t + 8);
}

const std::uint64_t* nearest_leaf_keys(const float* row, std::size_t t, std::size_t i,
                                       std::size_t k, NearestScratch& scratch) {
  scratch.reserve(t);
  if (k == 0) return scratch.keys.data();
  if (use_vector_path()) {
    nearest_keys_avx2(row, t, i, k, scratch);
  } else {
    nearest_keys_portable(row, t, i, k, scratch.keys.data());
  }
  return scratch.keys.data();
}

namespace testing {
const std::uint64_t* nearest_leaf_keys_portable(const float* row, std::size_t t, std::size_t i,
                                                std::size_t k, NearestScratch& scratch) {
  scratch.reserve(t);
  if (k > 0) nearest_keys_portable(row, t, i, k, scratch.keys.data());
  return scratch.keys.data();
}
}  // namespace testing

}  // namespace orlim
