#include <gtest/gtest.h>

#include <random>

#include <cmath>
#include <string>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/data/metric.hpp"

namespace {

using orlim::Dataset;
using orlim::Metric;

TEST(ParseMetric, AcceptsTheNamesInAnyAsciiCase) {
  struct Case {
    const char* text;
    std::optional<Metric> want;
  };
  const Case cases[] = {
      {"L2", Metric::Euclidean},
      {"Euclidean", Metric::Euclidean},
      {"EUCLIDIAN", Metric::Euclidean},
      {"Cosine", Metric::Cosine},
      {"ANGULAR", Metric::Cosine},
      {" l2", std::nullopt},
      {"l2 ", std::nullopt},
      {"cos", std::nullopt},
      {"ip", std::nullopt},
      {"sqeuclidean", std::nullopt},
      {"", std::nullopt},
      {"cosİne", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(orlim::parse_metric(c.text), c.want) << c.text;
}

TEST(Dataset, EuclideanBorrowsTheValuesAndStoresTheirNorms) {
  const std::vector<float> values = {1, 2, 3, 4, 5, 6};
  const Dataset data(values, 2, 3, Metric::Euclidean);
  EXPECT_EQ(data.data.data(), values.data());
  EXPECT_TRUE(data.owned.empty());
  EXPECT_EQ(data.norms, (std::vector<float>{14.0f, 77.0f}));
}

TEST(Dataset, CosineNormalizesACopyAndKeepsZeroRows) {
  const std::vector<float> values = {3, 4, 0, 0, 1e-30f, 0};
  const Dataset data(values, 3, 2, Metric::Cosine);
  EXPECT_NE(data.data.data(), values.data());
  EXPECT_FLOAT_EQ(data.row(0)[0], 0.6f);
  EXPECT_FLOAT_EQ(data.row(0)[1], 0.8f);
  EXPECT_EQ(data.row(1)[0], 0.0f);
  EXPECT_EQ(data.norms[1], 0.0f);
  // A row too small to square (1e-60 is below float32) is still normalized.
  EXPECT_EQ(data.row(2)[0], 1.0f);
  EXPECT_EQ(data.row(2)[1], 0.0f);
  // The stored norm is the actual sum of squares of the stored row, not 1.
  EXPECT_EQ(data.norms[0], data.row(0)[0] * data.row(0)[0] + data.row(0)[1] * data.row(0)[1]);
}

TEST(Dataset, CosineNormalizationDoesNotDependOnTheScale) {
  // Rows whose squares overflow or underflow float32 normalize like the same rows at scale 1:
  // bit for bit under a power of two (the scaling is exact), to rounding under any other factor.
  std::mt19937 gen(7);
  std::normal_distribution<float> normal;
  const std::size_t n = 50, d = 24;
  std::vector<float> base(n * d);
  for (float& v : base) v = normal(gen);
  const Dataset unit(base, n, d, Metric::Cosine);
  struct Scale {
    float factor;
    bool exact;
  };
  for (const Scale s : {Scale{0x1p66f, true}, Scale{0x1p-76f, true}, Scale{0x1p-100f, true},
                        Scale{1e20f, false}, Scale{1e-23f, false}, Scale{3e36f, false},
                        Scale{1e-40f, false}}) {
    std::vector<float> scaled(base);
    for (float& v : scaled) v *= s.factor;
    const Dataset data(scaled, n, d, Metric::Cosine);
    for (std::size_t i = 0; i < n * d; ++i) {
      if (s.exact) {
        ASSERT_EQ(data.data[i], unit.data[i]) << "scale " << s.factor << " value " << i;
      } else {
        // 1e-40 is subnormal: the values keep only about 17 bits.
        const float tol = s.factor < 1e-38f ? 1e-4f : 1e-6f;
        ASSERT_NEAR(data.data[i], unit.data[i], tol) << "scale " << s.factor << " value " << i;
      }
    }
    for (std::size_t r = 0; r < n; ++r) ASSERT_NEAR(data.norms[r], 1.0f, 1e-5f) << s.factor;
  }
}

TEST(Dataset, CosineOfASingleValueIsOne) {
  const std::vector<float> values = {3.0f, -2.0f};
  const Dataset data(values, 2, 1, Metric::Cosine);
  EXPECT_EQ(data.row(0)[0], 1.0f);
  EXPECT_EQ(data.row(1)[0], -1.0f);
}

TEST(Dataset, InfiniteRowsBecomeZeroAndNanRowsStay) {
  const std::vector<float> values = {INFINITY, 1.0f, NAN, 1.0f};
  const Dataset data(values, 2, 2, Metric::Cosine);
  EXPECT_EQ(data.row(0)[1], 0.0f);
  EXPECT_TRUE(std::isnan(data.row(1)[0]));
  EXPECT_EQ(data.row(1)[1], 1.0f);
}

TEST(Dataset, ZeroDimensionsHaveNoValuesAndNoNorms) {
  for (Metric metric : {Metric::Euclidean, Metric::Cosine}) {
    const Dataset data(std::span<const float>(), 5, 0, metric);
    EXPECT_EQ(data.n, 5u);
    EXPECT_TRUE(data.norms.empty());
    EXPECT_TRUE(data.data.empty());
  }
}

TEST(Dataset, RejectsALengthMismatch) {
  const std::vector<float> values(5);
  try {
    Dataset data(values, 2, 3, Metric::Euclidean);
    FAIL() << "no failure";
  } catch (const orlim::Failure& e) {
    EXPECT_NE(std::string(e.what()).find("data length must equal n*d"), std::string::npos);
  }
}

TEST(Dataset, SurvivesAMove) {
  const std::vector<float> values = {3, 4};
  Dataset a(values, 1, 2, Metric::Cosine);
  const Dataset b = std::move(a);
  EXPECT_FLOAT_EQ(b.row(0)[0], 0.6f);
}

}  // namespace
