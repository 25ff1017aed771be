#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "orlim/search/bruteforce.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/base/parallel.hpp"

namespace {

using orlim::Dataset;
using orlim::Metric;
using orlim::SelfKnn;

// The rules written out naively: all pairs, stable sort by distance (ids are in order, so ties
// stay by id), keep the first `stride`, then swap self to the front.
SelfKnn naive_self_knn(const Dataset& data, std::size_t k) {
  const std::size_t stride = orlim::self_knn_stride(data.n, k);
  SelfKnn out = orlim::make_knn_result(data.n, stride);
  for (std::size_t i = 0; i < data.n; ++i) {
    std::vector<orlim::Neighbor> row;
    for (std::size_t j = 0; j < data.n; ++j) {
      row.push_back(
          {static_cast<orlim::PointId>(j), orlim::sq_l2_scalar(data.row(i), data.row(j), data.d)});
    }
    std::stable_sort(row.begin(), row.end(),
                     [](const auto& a, const auto& b) { return a.dist < b.dist; });
    row.resize(stride);
    for (std::size_t p = 0; p < stride; ++p) {
      if (row[p].id == i) {
        std::swap(row[0], row[p]);
        break;
      }
    }
    for (std::size_t p = 0; p < stride; ++p) {
      out.indices[i * stride + p] = row[p].id;
      out.distances[i * stride + p] = orlim::reported_distance(row[p].dist, data.metric);
    }
  }
  return out;
}

SelfKnn run(const Dataset& data, std::size_t k, std::size_t threads = 2) {
  auto pool = orlim::Pool::dedicated(threads);
  SelfKnn out;
  pool->run([&] { out = orlim::knn_self_bruteforce(data, k); });
  return out;
}

// Points on a coarse grid, so that many distances tie and ids must break them.
std::vector<float> grid_points(std::size_t n, std::size_t d, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> coord(0, 3);
  std::vector<float> v(n * d);
  for (float& x : v) x = static_cast<float>(coord(gen));
  return v;
}

TEST(BruteForce, MatchesTheNaiveRulesWithManyTies) {
  for (Metric metric : {Metric::Euclidean, Metric::Cosine}) {
    for (auto [n, d, k] : {std::tuple{60, 3, 5}, {200, 2, 10}, {50, 17, 49}, {30, 4, 100}}) {
      const auto values = grid_points(n, d, static_cast<std::uint32_t>(n + d));
      const Dataset data(values, n, d, metric);
      const SelfKnn want = naive_self_knn(data, k);
      for (std::size_t threads : {1, 3}) {
        const SelfKnn got = run(data, k, threads);
        EXPECT_EQ(got.stride, want.stride);
        EXPECT_EQ(got.indices, want.indices) << "n=" << n << " k=" << k;
        EXPECT_EQ(got.distances, want.distances);
      }
    }
  }
}

TEST(BruteForce, StrideRules) {
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(orlim::self_knn_stride(0, 5), 1u);
  EXPECT_EQ(orlim::self_knn_stride(1, 5), 1u);
  EXPECT_EQ(orlim::self_knn_stride(100, 0), 1u);
  EXPECT_EQ(orlim::self_knn_stride(100, 10), 11u);
  EXPECT_EQ(orlim::self_knn_stride(100, 99), 100u);
  EXPECT_EQ(orlim::self_knn_stride(100, kHuge), 100u);
  EXPECT_EQ(orlim::query_knn_stride(0, 5), 1u);
  EXPECT_EQ(orlim::query_knn_stride(100, 10), 10u);
  EXPECT_EQ(orlim::query_knn_stride(100, kHuge), 100u);
}

TEST(BruteForce, EmptyAndSinglePointSets) {
  const Dataset empty(std::span<const float>(), 0, 3, Metric::Euclidean);
  const SelfKnn none = run(empty, 4);
  EXPECT_EQ(none.stride, 1u);
  EXPECT_TRUE(none.indices.empty());

  const std::vector<float> one = {1, 2, 3};
  const SelfKnn single = run(Dataset(one, 1, 3, Metric::Euclidean), 1000000000);
  EXPECT_EQ(single.stride, 1u);
  EXPECT_EQ(single.indices, std::vector<orlim::PointId>{0});
  EXPECT_EQ(single.distances, std::vector<float>{0.0f});
}

TEST(BruteForce, MoreThanKDuplicatesWithSmallerIdsPushSelfOut) {
  // Points 0-3 coincide; k = 2 keeps three slots, all taken by ids 0, 1, 2 at distance 0.
  const std::vector<float> values = {1, 1, 1, 1, 1, 1, 1, 1, 5, 5};
  const SelfKnn got = run(Dataset(values, 5, 2, Metric::Euclidean), 2);
  EXPECT_EQ(std::vector<orlim::PointId>(got.indices.begin() + 9, got.indices.begin() + 12),
            (std::vector<orlim::PointId>{0, 1, 2}));
  // Row 1: self swapped with the former first entry (0), which moves to position 1.
  EXPECT_EQ(std::vector<orlim::PointId>(got.indices.begin() + 3, got.indices.begin() + 6),
            (std::vector<orlim::PointId>{1, 0, 2}));
}

}  // namespace
