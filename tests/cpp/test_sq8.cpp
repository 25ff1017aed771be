// The SQ8 quantizer: per-dimension code ranges, rounding, and a distance whose association order
// is fixed bit for bit on every SIMD path.
#include "orlim/hnsw/sq8.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/kernels/distance.hpp"

namespace orlim::hnsw {
namespace {

// Codes of one column: a data set of `column.size()` points with d = 1.
std::vector<std::uint8_t> encode_column(const std::vector<float>& column) {
  const Dataset data(column, column.size(), 1, Metric::Euclidean);
  return Sq8(data).codes;
}

TEST(Sq8, EncodesEachDimensionOverItsOwnRange) {
  struct Case {
    const char* what;
    std::vector<float> column;
    std::vector<std::uint8_t> codes;
  };
  const Case cases[] = {
      // Range 255 gives a step of exactly 1, so v is the value itself.
      {"min to 0, max to 255", {3.0f, 258.0f, 130.0f}, {0, 255, 127}},
      {"halves round away from zero",
       {0.0f, 255.0f, 0.5f, 2.5f, 1.5f, 254.5f},
       {0, 255, 1, 3, 2, 255}},
      {"just below a half rounds down", {0.0f, 255.0f, 0.49f, 2.49f}, {0, 255, 0, 2}},
      {"constant dimension", {7.0f, 7.0f, 7.0f}, {0, 0, 0}},
      {"negative values", {-10.0f, 245.0f, -9.5f}, {0, 255, 1}},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_column(c.column), c.codes) << c.what;
}

TEST(Sq8, StepsAndWeightsPerDimension) {
  // Column 0 spans 51 (step 0.2), column 1 is constant (step 1), column 2 spans 255 (step 1).
  const std::vector<float> values = {0.0f,  5.0f, -1.0f,  //
                                     51.0f, 5.0f, 254.0f};
  const Sq8 sq8(Dataset(values, 2, 3, Metric::Euclidean));
  EXPECT_EQ(sq8.dim, 3u);
  EXPECT_EQ(sq8.codes, (std::vector<std::uint8_t>{0, 0, 0, 255, 0, 255}));
  const float step0 = 51.0f / 255.0f;
  EXPECT_EQ(sq8.weights, (std::vector<float>{step0 * step0, 1.0f, 1.0f}));

  const std::vector<float> none;
  const Sq8 empty(Dataset(none, 0, 4, Metric::Euclidean));
  EXPECT_TRUE(empty.codes.empty());
  EXPECT_EQ(empty.weights, std::vector<float>(4, 1.0f));

  const Sq8 flat(Dataset(none, 5, 0, Metric::Euclidean));
  EXPECT_TRUE(flat.codes.empty());
  EXPECT_TRUE(flat.weights.empty());
  EXPECT_EQ(Sq8Distance(flat)(0, 4), 0.0f);
}

TEST(Sq8, EncodesTheStoredCosineRows) {
  // Normalized, the rows are (1, 0) and (0, 1): codes at both ends of both ranges.
  const std::vector<float> values = {3.0f, 0.0f, 0.0f, 0.5f};
  const Sq8 sq8(Dataset(values, 2, 2, Metric::Cosine));
  EXPECT_EQ(sq8.codes, (std::vector<std::uint8_t>{255, 0, 0, 255}));
}

// Cases where a different association order gives a different float: 2^24 + 1 rounds back to
// 2^24, so every 1 added to 2^24 on its own is lost, while 1 + 1 first survives.
TEST(Sq8, DistanceKeepsTheFixedAssociationOrder) {
  constexpr float kBig = 16777216.0f;  // 2^24
  struct Case {
    const char* what;
    std::vector<std::uint8_t> a;
    std::vector<float> weights;
    float want;
  };
  const Case cases[] = {
      {"lanes summed left to right", {1, 1, 1, 0, 0, 0, 0, 0}, {kBig, 1, 1, 1, 1, 1, 1, 1}, kBig},
      {"A and B halves summed apart",
       {1, 0, 0, 0, 1, 1, 0, 0},
       {kBig, 1, 1, 1, 1, 1, 1, 1},
       kBig + 2.0f},
      {"lanes accumulate across blocks",
       {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1},
       {kBig, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
       kBig},
      {"tail added one by one after the blocks",
       {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1},
       {1, 1, 1, 1, 1, 1, 1, 1, kBig, 1, 1},
       kBig},
      // (1/7 * 7) * 7 is exactly 7; 1/7 * (7 * 7) would round to 7.0000005.
      {"weight times delta, then delta", {7}, {1.0f / 7.0f}, 7.0f},
  };
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> zero(c.a.size(), 0);
    const std::size_t d = c.a.size();
    EXPECT_EQ(sq8_distance_scalar(c.a.data(), zero.data(), c.weights.data(), d), c.want) << c.what;
    EXPECT_EQ(sq8_distance_scalar(zero.data(), c.a.data(), c.weights.data(), d), c.want)
        << c.what << " (swapped)";
  }
}

TEST(Sq8, SimdKernelsMatchTheScalarOrderBitForBit) {
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> code(0, 255);
  std::uniform_real_distribution<float> weight(1e-6f, 3.0f);
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 40; ++d) dims.push_back(d);
  dims.insert(dims.end(), {127, 128, 129, 960});
  for (const std::size_t d : dims) {
    std::vector<std::uint8_t> a(d), b(d);
    std::vector<float> w(d);
    for (int trial = 0; trial < 20; ++trial) {
      for (std::size_t j = 0; j < d; ++j) {
        a[j] = static_cast<std::uint8_t>(code(gen));
        b[j] = static_cast<std::uint8_t>(code(gen));
        w[j] = weight(gen);
      }
      const float want = sq8_distance_scalar(a.data(), b.data(), w.data(), d);
      ASSERT_EQ(sq8_distance_sse2(a.data(), b.data(), w.data(), d), want) << "d=" << d;
      if (avx2_supported()) {
        ASSERT_EQ(sq8_distance_avx2(a.data(), b.data(), w.data(), d), want) << "d=" << d;
      }
      double exact = 0.0;
      for (std::size_t j = 0; j < d; ++j) {
        const double delta = double(a[j]) - double(b[j]);
        exact += delta * delta * w[j];
      }
      ASSERT_NEAR(want, exact, 1e-5 * exact + 1e-30) << "d=" << d;
    }
  }
}

TEST(Sq8, DistanceApproximatesTheSquaredDistanceOfTheData) {
  std::mt19937 gen(5);
  std::normal_distribution<float> normal;
  const std::size_t n = 200, d = 24;
  std::vector<float> values(n * d);
  for (float& v : values) v = normal(gen);
  const Dataset data(values, n, d, Metric::Euclidean);
  const Sq8 sq8(data);
  const Sq8Distance dist(sq8);
  for (PointId a = 0; a < 20; ++a) {
    EXPECT_EQ(dist(a, a), 0.0f);
    for (PointId b = 100; b < 120; ++b) {
      const float exact = sq_l2(data.row(a), data.row(b), d);
      EXPECT_EQ(dist(a, b), dist(b, a));
      // Each coordinate moves by at most half a step (range / 510).
      EXPECT_NEAR(dist(a, b), exact, 0.1f * exact);
    }
  }
}

TEST(Sq8, DistinctPointsWithEqualCodesAreAtDistanceZero) {
  // Range 0 .. 2550 gives a step of 10: 40.2 and 43.9 both encode to 4.
  const std::vector<float> values = {0.0f, 2550.0f, 40.2f, 43.9f, 46.0f};
  const Sq8 sq8(Dataset(values, values.size(), 1, Metric::Euclidean));
  const Sq8Distance dist(sq8);
  EXPECT_EQ(dist(2, 3), 0.0f);
  EXPECT_EQ(dist(2, 4), 100.0f);  // codes 4 and 5, step 10
}

}  // namespace
}  // namespace orlim::hnsw
