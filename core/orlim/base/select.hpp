// Order-keeping selection of the smallest entries of a list of non-negative 32-bit integers (the
// bits of non-negative floats read as integers, which order the same way as the floats).
//
// The build selects a few dozen of a few hundred values many millions of times: a comparison
// sort or nth_element spends most of that time on mispredicted branches, so this counts instead
// (a bisection over the values, each step one vectorised count) and then compacts in one pass;
// short sorts count ranks in the same spirit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orlim {

// The (rank + 1)-th smallest of v[0, n); requires rank < n.
std::int32_t kth_smallest(const std::int32_t* v, std::size_t n, std::size_t rank);

// Keeps the k smallest entries of v[0, n) by (value, position) and their ids, moved to the front
// in their original order; requires k <= n. Of several entries equal to the k-th smallest value,
// the first ones are kept.
void keep_smallest_in_order(std::int32_t* v, std::uint32_t* ids, std::size_t n, std::size_t k);

// Sorts n distinct 64-bit keys ascending; `scratch` has room for n keys. Short lists are ordered
// by counting each key's rank (no data-dependent branch), longer ones by a comparison sort.
void sort_distinct(std::uint64_t* keys, std::size_t n, std::uint64_t* scratch);

}  // namespace orlim
