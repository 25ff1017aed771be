// Reference HNSW levels: for each case, the levels of points 0 .. n-1 drawn with the user-facing
// seed (the code under test applies the level-seed XOR itself). Produced independently of our
// code from the same generator and formula; included by test_hnsw.cpp only. Regenerate, never
// edit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace golden {

struct LevelCase {
  std::size_t m;
  std::uint64_t seed;
  std::vector<std::size_t> levels;
};

inline const LevelCase kHnswLevels[] = {
    {16, 0x0000000000000000, {0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {2, 0x0000000000000003, {0, 0, 0, 0, 3, 1, 0, 2, 0, 0, 0, 0, 1, 4, 1, 1, 1,
                             1, 0, 0, 1, 2, 0, 0, 0, 2, 5, 1, 2, 0, 0, 2, 0, 0,
                             0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0}},
    {1, 0x0000000000000000, {24, 24, 24, 24, 24}},
    {0, 0x0000000000000000, {0, 0, 0, 0, 0}},
    {2, 0x00000000007c4122, {24, 0, 0}},
};

}  // namespace golden
