#include "orlim/base/select.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

namespace orlim {
namespace {

TEST(KeepSmallestInOrder, MatchesAStableSortOfTheValues) {
  // (values drawn from, list length, how many to keep)
  struct Case {
    int distinct;
    std::size_t n, k;
  };
  const Case cases[] = {{1, 5, 3},     {3, 40, 17}, {1000000, 300, 64}, {2, 9, 9},
                        {50, 1000, 1}, {4, 200, 0}, {1 << 30, 13, 12},  {5, 8, 4}};
  std::mt19937 gen(5);
  for (const Case& c : cases) {
    std::uniform_int_distribution<std::int32_t> value(0, c.distinct - 1);
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<std::int32_t> v(c.n);
      for (auto& x : v) x = value(gen);
      if (trial == 0) v[0] = 0x7F800000;  // the bits of +infinity, the largest a distance has
      std::vector<std::uint32_t> ids(c.n);
      std::iota(ids.begin(), ids.end(), 100u);

      // The definition: positions stably sorted by value, the first k, back in position order.
      std::vector<std::size_t> order(c.n);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
      order.resize(std::min(c.k, c.n));
      std::sort(order.begin(), order.end());
      if (c.k > 0) {
        std::vector<std::int32_t> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(kth_smallest(v.data(), c.n, c.k - 1), sorted[c.k - 1]);
      }
      std::vector<std::int32_t> want_v;
      std::vector<std::uint32_t> want_ids;
      for (std::size_t p : order) {
        want_v.push_back(v[p]);
        want_ids.push_back(ids[p]);
      }

      keep_smallest_in_order(v.data(), ids.data(), c.n, c.k);
      const std::size_t kept = std::min(c.k, c.n);
      EXPECT_EQ(std::vector<std::int32_t>(v.begin(), v.begin() + kept), want_v);
      EXPECT_EQ(std::vector<std::uint32_t>(ids.begin(), ids.begin() + kept), want_ids);
    }
  }
}

TEST(SortDistinct, MatchesAComparisonSort) {
  // Lengths on both sides of the counting path's limit; keys with the top bit set or clear.
  std::mt19937_64 gen(9);
  for (const std::size_t n : {0u, 1u, 3u, 62u, 64u, 255u, 256u, 257u, 1000u}) {
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = (gen() & ~std::uint64_t{0xFFF}) | i;
    if (n > 2) keys[1] = std::uint64_t{1} << 63;
    std::vector<std::uint64_t> want = keys;
    std::sort(want.begin(), want.end());
    std::vector<std::uint64_t> scratch(n);
    sort_distinct(keys.data(), n, scratch.data());
    EXPECT_EQ(keys, want) << "n = " << n;
  }
}

}  // namespace
}  // namespace orlim
