#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "orlim/build/driver.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/build/symmetrize.hpp"
#include "synthetic_data.hpp"

namespace {

using orlim_test::clustered;

using orlim::BuildParams;
using orlim::BuiltIndex;
using orlim::Dataset;
using orlim::Metric;

BuiltIndex build(const Dataset& data, const BuildParams& params, std::size_t threads,
                 std::size_t c = 0) {
  auto pool = orlim::Pool::dedicated(threads);
  BuiltIndex out;
  pool->run([&] { out = orlim::build_index_with_cands(data, params, c); });
  return out;
}

BuildParams small_leaves() {
  BuildParams p;
  p.c_max = 300;
  p.l_max = 32;
  p.r = 24;
  return p;
}

TEST(Build, GraphsKeepTheirInvariantsOnEveryShape) {
  struct Case {
    std::size_t n, d, runs, fanout;
    Metric metric;
  };
  const Case cases[] = {
      {2000, 16, 1, 1, Metric::Euclidean}, {2000, 16, 2, 2, Metric::Euclidean},
      {1500, 7, 1, 3, Metric::Cosine},     {3000, 33, 2, 2, Metric::Cosine},
      {250, 4, 0, 2, Metric::Euclidean},  // a single leaf; runs = 0 acts as 1
  };
  for (const Case& c : cases) {
    const auto values = clustered(c.n, c.d, 10, 6.0f, static_cast<std::uint32_t>(c.n + c.d));
    const Dataset data(values, c.n, c.d, c.metric);
    BuildParams params = small_leaves();
    params.runs = c.runs;
    params.fanout = c.fanout;
    const BuiltIndex index = build(data, params, 2);
    ASSERT_EQ(index.graph.n(), c.n);
    EXPECT_NO_THROW(orlim::check_graph_invariants(index.graph, params.r));
    EXPECT_EQ(index.graph.entry, orlim::approx_medoid(data));
    EXPECT_TRUE(index.retained.empty());
    std::size_t isolated = 0;
    for (std::size_t v = 0; v < c.n; ++v) isolated += index.graph.neighbors_of(v).empty();
    EXPECT_EQ(isolated, 0u) << "n=" << c.n << " d=" << c.d;
  }
}

TEST(Build, OneThreadBuildsAreReproducible) {
  const auto values = clustered(3000, 24, 12, 6.0f, 9);
  const Dataset data(values, 3000, 24, Metric::Euclidean);
  BuildParams params = small_leaves();
  params.runs = 2;
  params.seed = 77;
  const BuiltIndex a = build(data, params, 1, 40);
  const BuiltIndex b = build(data, params, 1, 40);
  EXPECT_EQ(a.graph.offsets, b.graph.offsets);
  EXPECT_EQ(a.graph.neighbors, b.graph.neighbors);
  EXPECT_EQ(a.graph.entry, b.graph.entry);
  EXPECT_EQ(a.retained.counts, b.retained.counts);
  params.seed = 78;
  const BuiltIndex other = build(data, params, 1);
  EXPECT_NE(a.graph.neighbors, other.graph.neighbors);
}

TEST(Build, RetainedCandidatesAreTheNearestOfEachReservoir) {
  const auto values = clustered(1200, 8, 6, 6.0f, 4);
  const Dataset data(values, 1200, 8, Metric::Euclidean);
  BuildParams params = small_leaves();
  for (std::size_t c : {5, 32, 100}) {
    const BuiltIndex index = build(data, params, 2, c);
    ASSERT_EQ(index.retained.width, c);
    for (std::size_t p = 0; p < data.n; ++p) {
      const auto list = index.retained.of(p);
      EXPECT_LE(list.size(), std::min(c, params.l_max));
      EXPECT_GT(list.size(), 0u);
      for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_NE(list[i].id, p);
        if (i > 0) EXPECT_TRUE(orlim::closer(list[i - 1], list[i]));
      }
    }
  }
}

TEST(Build, LeafDistancesStayExactInLeavesSpanningFarGroups) {
  // Sixty groups of 20 points, about 0.01 apart inside and 1e3 apart from each other: a leaf of
  // 300 points holds several groups, and its rows' norms, even centred on the leaf, are so large
  // that the products' rounding buries the distances inside each group. Every candidate a point
  // keeps must still carry its own distance and come from its own group.
  const std::size_t groups = 60, size = 20, n = groups * size, d = 16;
  std::mt19937 gen(3);
  std::normal_distribution<float> normal;
  std::vector<float> values(n * d);
  for (std::size_t g = 0; g < groups; ++g) {
    std::vector<float> centre(d);
    for (float& c : centre) c = 1000.0f * normal(gen);
    for (std::size_t i = g * size; i < (g + 1) * size; ++i) {
      for (std::size_t c = 0; c < d; ++c) values[i * d + c] = centre[c] + 0.01f * normal(gen);
    }
  }
  const Dataset data(values, n, d, Metric::Euclidean);
  const BuiltIndex index = build(data, small_leaves(), 1, 5);
  for (std::size_t p = 0; p < n; ++p) {
    const auto list = index.retained.of(p);
    ASSERT_EQ(list.size(), 5u) << p;
    for (const orlim::Neighbor& c : list) {
      const float exact = orlim::sq_l2(data.row(p), data.row(c.id), d);
      EXPECT_EQ(c.id / size, p / size) << "point " << p << " keeps " << c.id;
      EXPECT_NEAR(c.dist, exact, exact / 32.0f) << "point " << p << " keeps " << c.id;
    }
  }
}

// Before any search exists: the build's out-list of a point should hold its true nearest
// neighbour for nearly every point of well-separated data.
TEST(Build, OutListsHoldTheTrueNearestNeighbour) {
  const std::size_t n = 20000, d = 32;
  const auto values = clustered(n, d, 40, 6.0f, 21);
  const Dataset data(values, n, d, Metric::Euclidean);
  const BuiltIndex index = build(data, BuildParams{}, 2);
  std::mt19937 gen(5);
  std::uniform_int_distribution<std::size_t> pick(0, n - 1);
  std::size_t found = 0, checked = 0;
  for (; checked < 1000; ++checked) {
    const std::size_t p = pick(gen);
    std::size_t best = p == 0 ? 1 : 0;
    float best_dist = orlim::sq_l2(data.row(p), data.row(best), d);
    for (std::size_t q = 0; q < n; ++q) {
      const float s = orlim::sq_l2(data.row(p), data.row(q), d);
      if (q != p && s < best_dist) best = q, best_dist = s;
    }
    for (const orlim::PointId q : index.graph.neighbors_of(p)) {
      if (orlim::sq_l2(data.row(p), data.row(q), d) <= best_dist) {
        ++found;
        break;
      }
    }
  }
  EXPECT_GE(static_cast<double>(found) / static_cast<double>(checked), 0.95);
}

TEST(Build, SingletonLeavesWithoutHaloGiveNoEdges) {
  const auto values = clustered(50, 3, 2, 6.0f, 1);
  const Dataset data(values, 50, 3, Metric::Euclidean);
  BuildParams params;
  params.c_max = 1;
  params.fanout = 1;
  const BuiltIndex index = build(data, params, 2, 8);
  EXPECT_TRUE(index.graph.neighbors.empty());
  for (std::size_t p = 0; p < 50; ++p) EXPECT_EQ(index.retained.counts[p], 0u);
  params.fanout = 2;  // the halo pairs each point with another one-point leaf
  EXPECT_FALSE(build(data, params, 2).graph.neighbors.empty());
}

TEST(Build, EmptyDataSetGivesAnEmptyGraph) {
  const Dataset data(std::span<const float>(), 0, 5, Metric::Euclidean);
  BuildParams params;
  params.r = 0;  // never looked at without points
  const BuiltIndex index = build(data, params, 1, 10);
  EXPECT_EQ(index.graph.n(), 0u);
  EXPECT_EQ(index.graph.entry, 0u);
}

TEST(Build, InvalidParametersFailTheBuild) {
  const auto values = clustered(100, 4, 2, 6.0f, 3);
  const Dataset data(values, 100, 4, Metric::Euclidean);
  struct Case {
    const char* name;
    BuildParams params;
    const char* message;
  };
  BuildParams m17, r0, c0;
  m17.m = 17;
  r0.r = 0;
  c0.c_max = 0;
  const Case cases[] = {{"m = 17", m17, "m must be <= 16 (code packs into u16)"},
                        {"r = 0", r0, "r must be at least 1"},
                        {"c_max = 0", c0, "c_max must be at least 1"}};
  for (const Case& c : cases) {
    try {
      build(data, c.params, 2);
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const orlim::Failure& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.name;
    }
  }
}

TEST(Build, ProfileLinesHaveTheirFormatAndOrder) {
  const auto values = clustered(900, 6, 3, 6.0f, 8);
  const Dataset data(values, 900, 6, Metric::Euclidean);
  BuildParams params = small_leaves();
  params.runs = 2;
  setenv("ORLIM_PROFILE", "", 1);
  testing::internal::CaptureStderr();
  build(data, params, 2);
  const std::string err = testing::internal::GetCapturedStderr();
  unsetenv("ORLIM_PROFILE");
  const std::regex want(
      "\\[orlim\\] sketch         +[0-9]+\\.[0-9]{3}s\n"
      "\\[orlim\\] run 1/2 leaves=[0-9]+ repl=[0-9]+\\.[0-9]{2}x\n"
      "\\[orlim\\] run 2/2 leaves=[0-9]+ repl=[0-9]+\\.[0-9]{2}x\n"
      "\\[orlim\\] leaf\\+hashprune  +[0-9]+\\.[0-9]{3}s\n"
      "\\[orlim\\] robustprune    +[0-9]+\\.[0-9]{3}s\n"
      "\\[orlim\\] symmetrize     +[0-9]+\\.[0-9]{3}s\n");
  EXPECT_TRUE(std::regex_match(err, want)) << err;
  // Seven columns for the seconds: "  0.012s".
  EXPECT_NE(err.find("[orlim] sketch           "), std::string::npos) << err;

  testing::internal::CaptureStderr();
  build(data, params, 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
