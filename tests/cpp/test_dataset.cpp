#include <gtest/gtest.h>

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
  // 1e-60 underflows the sum of squares to 0, so the row stays as given.
  EXPECT_EQ(data.row(2)[0], 1e-30f);
  // The stored norm is the actual sum of squares of the stored row, not 1.
  EXPECT_EQ(data.norms[0], data.row(0)[0] * data.row(0)[0] + data.row(0)[1] * data.row(0)[1]);
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
