#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/build/build_params.hpp"
#include "orlim/index/graph_index.hpp"
#include "synthetic_data.hpp"

namespace orlim {
namespace {

constexpr std::size_t kD = 8;

BuildParams small_leaves(Metric metric) {
  BuildParams p;
  p.c_max = 32;  // several leaves even for a few hundred points
  p.l_max = 16;
  p.r = 12;
  p.metric = metric;
  return p;
}

// Exact k nearest of `q` among the rows of `values` by (squared distance, id), skipping `skip`.
std::vector<PointId> exact_ids(const Dataset& data, const float* q, std::size_t k, PointId skip) {
  std::vector<Neighbor> all;
  for (std::size_t j = 0; j < data.n; ++j) {
    if (j == skip) continue;
    float s = 0.0f;
    for (std::size_t c = 0; c < data.d; ++c) s += (q[c] - data.row(j)[c]) * (q[c] - data.row(j)[c]);
    all.push_back(Neighbor{static_cast<PointId>(j), s});
  }
  std::sort(all.begin(), all.end(), closer);
  std::vector<PointId> ids;
  for (std::size_t p = 0; p < k; ++p) ids.push_back(all[p].id);
  return ids;
}

TEST(GraphIndex, BorrowedRowsAnswerExactlyAsTheBuiltIndex) {
  for (const Metric metric : {Metric::Euclidean, Metric::Cosine}) {
    SCOPED_TRACE(static_cast<int>(metric));
    const std::vector<float> values = orlim_test::clustered(400, kD, 5, 3.0f, 7);
    const std::vector<float> queries = orlim_test::clustered(50, kD, 5, 3.0f, 8);
    Pool::dedicated(2)->run([&] {
      const GraphIndex built = GraphIndex::build(values, 400, kD, small_leaves(metric));
      const GraphIndex borrowed = GraphIndex::borrow(built.stored_values(), built.n(), built.d(),
                                                     built.params(), built.graph());
      EXPECT_EQ(borrowed.stored_values().data(), built.stored_values().data());  // no copy
      const SelfKnn a = built.query(queries, 50, SearchParams{10, 32});
      const SelfKnn b = borrowed.query(queries, 50, SearchParams{10, 32});
      EXPECT_EQ(a.indices, b.indices);
      EXPECT_EQ(a.distances, b.distances);
      EXPECT_EQ(built.self_knn_distinct(5, 32).indices, borrowed.self_knn_distinct(5, 32).indices);
    });
  }
}

TEST(GraphIndex, DistinctRowsFallBackToExactWhenTheGraphCannotFillThem) {
  // With a single point per leaf the graph has no edges: a query search reaches only its 16
  // seeds and a self search only the point, so rows of 20 must be completed exactly.
  const std::vector<float> values = orlim_test::clustered(300, kD, 3, 2.0f, 11);
  BuildParams params = small_leaves(Metric::Euclidean);
  params.c_max = 1;
  params.fanout = 1;
  Pool::dedicated(2)->run([&] {
    const GraphIndex index = GraphIndex::build(values, 300, kD, params);
    ASSERT_TRUE(index.graph().neighbors.empty());
    constexpr std::size_t k = 20;
    const SelfKnn q = index.query_distinct({values.data(), 10 * kD}, 10, k, 16);
    const SelfKnn s = index.self_knn_distinct(k, 16);
    for (std::size_t i = 0; i < 10; ++i) {
      const std::vector<PointId> got(q.indices.begin() + i * k, q.indices.begin() + (i + 1) * k);
      EXPECT_EQ(got, exact_ids(index.data(), index.data().row(i), k, kNoPoint)) << i;
      const std::vector<PointId> self(s.indices.begin() + i * k, s.indices.begin() + (i + 1) * k);
      EXPECT_EQ(self, exact_ids(index.data(), index.data().row(i), k, i)) << i;
    }
  });
}

TEST(GraphIndex, CosineZeroVectorsAreAtDistanceOne) {
  std::vector<float> values = orlim_test::clustered(200, kD, 4, 3.0f, 5);
  std::fill_n(values.begin() + 3 * kD, kD, 0.0f);  // row 3 is the zero vector
  std::vector<float> queries(values.begin(), values.begin() + 2 * kD);
  std::fill_n(queries.begin(), kD, 0.0f);  // query 0 too
  Pool::dedicated(2)->run([&] {
    const GraphIndex index = GraphIndex::build(values, 200, kD, small_leaves(Metric::Cosine));
    const SelfKnn q = index.query_distinct(queries, 2, 199, 256);
    for (std::size_t p = 0; p < 199; ++p) EXPECT_EQ(q.distances[p], 1.0f);  // zero query
    // The zero row is the farthest of all but anti-parallel points (distance above 1).
    const auto row = std::span(q.indices).subspan(199, 199);
    const auto at = std::find(row.begin(), row.end(), 3u) - row.begin();
    EXPECT_EQ(q.distances[199 + at], 1.0f);
    for (std::ptrdiff_t p = 0; p < at; ++p) EXPECT_LE(q.distances[199 + p], 1.0f);
  });
}

TEST(GraphIndex, BorrowRejectsGraphsThatDoNotFit) {
  const std::vector<float> values(4 * 2, 1.0f);
  const std::vector<std::size_t> good_offsets = {0, 1, 2, 3, 3};
  const std::vector<PointId> good_ids = {1, 2, 3};
  struct Case {
    const char* name;
    std::vector<std::size_t> offsets;
    std::vector<PointId> ids;
    PointId entry;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"too few offsets", {0, 1, 2, 3}, good_ids, 0, "row offsets for 4 points"},
      {"offsets not from 0", {1, 1, 2, 3, 3}, good_ids, 0, "start at 0"},
      {"offsets decrease", {0, 2, 1, 3, 3}, good_ids, 0, "decrease at row 2"},
      {"offsets past the edges", {0, 1, 2, 3, 4}, good_ids, 0, "end at 4 but there are 3"},
      {"edge id out of range", good_offsets, {1, 4, 3}, 0, "edge 1 has id 4"},
      {"entry out of range", good_offsets, good_ids, 4, "entry point 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      GraphIndex::borrow(values, 4, 2, BuildParams{}, GraphView(c.offsets, c.ids, c.entry));
      ADD_FAILURE() << "accepted";
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_NO_THROW(
      GraphIndex::borrow(values, 4, 2, BuildParams{}, GraphView(good_offsets, good_ids, 3)));
}

TEST(BuildParams, TableDrivesDefaultsAndChecks) {
  EXPECT_EQ(build_params_error(BuildParams{}), "");
  std::vector<std::string> names;
  for (const BuildParamSpec& decl : kBuildParamSpecs) names.push_back(decl.name);
  EXPECT_EQ(names, (std::vector<std::string>{"m", "l_max", "r", "alpha", "fanout", "c_min",
                                             "c_max", "runs", "seed"}));
  struct Case {
    void (*edit)(BuildParams&);
    const char* message;
  };
  const Case cases[] = {
      {[](BuildParams& p) { p.m = 17; }, "m must be between 1 and 16, got 17"},
      {[](BuildParams& p) { p.r = 0; }, "r must be between 1 and 65536, got 0"},
      {[](BuildParams& p) { p.alpha = 0.5f; }, "alpha must be at least 1, got 0.5"},
      {[](BuildParams& p) { p.alpha = __builtin_nanf(""); }, "alpha must be at least 1, got nan"},
      {[](BuildParams& p) { p.runs = 0; }, "runs must be between 1 and 1024, got 0"},
  };
  for (const Case& c : cases) {
    BuildParams p;
    c.edit(p);
    EXPECT_EQ(build_params_error(p), c.message);
  }
}

}  // namespace
}  // namespace orlim
