// Which leaf-mates a member offers to its reservoir: the k nearest entries of its row of the
// leaf's distance matrix.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orlim {

// A selection key: a distance's bits above a local index. Distances in a leaf row are never
// negative nor NaN, so the keys' unsigned order is the distances' order, equal distances by
// smaller index, and integers select and sort faster than pairs.
inline std::uint64_t leaf_key(float dist, std::size_t j) {
  return (static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(dist)) << 32) | j;
}
inline std::size_t key_index(std::uint64_t key) { return key & 0xFFFFFFFFu; }
inline float key_dist(std::uint64_t key) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(key >> 32));
}

// Working buffers of the selection, grown to the longest row seen and reused.
struct NearestScratch {
  void reserve(std::size_t t);
  std::vector<std::uint64_t> keys;   // the result, and the portable path's selection buffer
  std::vector<std::uint32_t> picks;  // positions passing a threshold (8 entries of slack)
  std::vector<std::int32_t> bits;    // their distances' bits
};

// The k nearest entries of row[0, t) other than entry i (the member itself), nearest first, as
// keys in the returned array's first k entries (it lives in `scratch`); requires k <= t - 1 and
// row values that are not negative and not NaN, as the leaf kernel makes them. Which of several
// entries tied at the k-th distance are kept is not fixed; this implementation keeps those with
// the smaller positions, on every CPU.
const std::uint64_t* nearest_leaf_keys(const float* row, std::size_t t, std::size_t i,
                                       std::size_t k, NearestScratch& scratch);

namespace testing {
// The path for CPUs without AVX2, whatever this CPU runs; same results.
const std::uint64_t* nearest_leaf_keys_portable(const float* row, std::size_t t, std::size_t i,
                                                std::size_t k, NearestScratch& scratch);
}  // namespace testing

}  // namespace orlim
