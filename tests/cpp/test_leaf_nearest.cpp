#include "orlim/build/leaf_nearest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace orlim {
namespace {

// The definition: all entries but i as (distance, position) pairs, ascending, the first k.
std::vector<std::uint64_t> naive(const std::vector<float>& row, std::size_t i, std::size_t k) {
  std::vector<std::uint64_t> keys;
  for (std::size_t j = 0; j < row.size(); ++j) {
    if (j != i) keys.push_back(leaf_key(row[j], j));
  }
  std::sort(keys.begin(), keys.end());
  keys.resize(k);
  return keys;
}

struct RowCase {
  const char* name;
  std::size_t t;
  std::size_t k;
  int shape;  // 0: spread values, 1: few distinct values (ties), 2: sample positions nearest
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

std::vector<float> make_row(const RowCase& c, std::mt19937& gen) {
  std::vector<float> row(c.t);
  std::gamma_distribution<float> spread(40.0f, 1.0f);  // distances of a high-dimensional leaf
  std::uniform_int_distribution<int> few(1, 6);
  for (float& v : row) v = c.shape == 1 ? static_cast<float>(few(gen)) : spread(gen);
  if (c.shape == 2) {
    // Every sampled entry is nearer than all the others, so the sample's threshold lets too few
    // through for a large k and the selection must fall back to the whole row.
    const std::size_t step = c.t / 128;
    for (std::size_t j = step / 2; j < c.t; j += step) row[j] = 0.5f;
  }
  return row;
}

class LeafNearest : public ::testing::TestWithParam<RowCase> {};

TEST_P(LeafNearest, BothPathsGiveTheExactNearestInOrder) {
  const RowCase& c = GetParam();
  std::mt19937 gen(77);
  NearestScratch scratch, portable;  // shared by all rows, as the build shares them
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<float> row = make_row(c, gen);
    // The member itself: distance 0, anywhere in the row, a sampled position included.
    const std::size_t i = (trial * 7919u + (c.t / 128) / 2) % c.t;
    row[i] = 0.0f;
    if (trial % 5 == 1) row[(i + 1) % c.t] = INFINITY;
    const auto want = naive(row, i, c.k);
    const std::uint64_t* got = nearest_leaf_keys(row.data(), c.t, i, c.k, scratch);
    ASSERT_EQ(std::vector<std::uint64_t>(got, got + c.k), want) << "trial " << trial;
    const std::uint64_t* slow =
        testing::nearest_leaf_keys_portable(row.data(), c.t, i, c.k, portable);
    ASSERT_EQ(std::vector<std::uint64_t>(slow, slow + c.k), want) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LeafNearest,
    ::testing::Values(RowCase{"two_members", 2, 1, 0}, RowCase{"short_all_kept", 9, 8, 0},
                      RowCase{"short_ties", 40, 17, 1}, RowCase{"unsampled", 500, 64, 0},
                      RowCase{"sampled", 3000, 64, 0}, RowCase{"sampled_ties", 3000, 64, 1},
                      RowCase{"sampled_odd_length", 2053, 7, 0},
                      RowCase{"sample_misjudges", 2000, 200, 2},
                      RowCase{"long_selection", 4000, 300, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orlim
