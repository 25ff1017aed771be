// The HNSW backend: level draws against reference values, the layer search and the neighbour
// heuristic on hand-made graphs, invariants of parallel builds, the self-kNN driver's row rules,
// and recall against exact neighbours.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "data/hnsw_levels_golden.hpp"
#include "orlim/search/bruteforce.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/hnsw/driver.hpp"
#include "orlim/hnsw/graph.hpp"
#include "orlim/hnsw/sq8.hpp"
#include "orlim/base/parallel.hpp"
#include "synthetic_data.hpp"

namespace orlim::hnsw {
namespace {

using orlim_test::clustered;

std::vector<float> gaussian(std::size_t n, std::size_t d, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(n * d);
  for (float& x : v) x = normal(gen);
  return v;
}

template <class Job>
void run_in_pool(std::size_t threads, Job&& job) {
  auto pool = Pool::dedicated(threads);
  ASSERT_TRUE(pool.has_value());
  pool->run(job);
}

SelfKnn self_knn(const Dataset& data, const HnswParams& params, std::size_t k,
                 std::size_t threads) {
  SelfKnn out;
  run_in_pool(threads, [&] { out = knn_self_hnsw(data, params, k); });
  return out;
}

Hnsw build(const Dataset& data, const HnswParams& params, std::size_t threads) {
  Hnsw graph;
  run_in_pool(threads, [&] { graph = Hnsw::build(data.n, ExactDistance(data), params); });
  return graph;
}

std::vector<PointId> row_ids(const SelfKnn& knn, std::size_t i) {
  const auto begin = knn.indices.begin() + static_cast<std::ptrdiff_t>(i * knn.stride);
  return {begin, begin + static_cast<std::ptrdiff_t>(knn.stride)};
}

std::vector<float> row_dists(const SelfKnn& knn, std::size_t i) {
  const auto begin = knn.distances.begin() + static_cast<std::ptrdiff_t>(i * knn.stride);
  return {begin, begin + static_cast<std::ptrdiff_t>(knn.stride)};
}

// --- levels ----------------------------------------------------------------------------------

TEST(HnswLevels, MatchReferenceDraws) {
  for (const auto& c : golden::kHnswLevels) {
    EXPECT_EQ(draw_levels(c.levels.size(), c.m, c.seed), c.levels)
        << "m=" << c.m << " seed=" << c.seed;
  }
  EXPECT_TRUE(draw_levels(0, 16, 0).empty());
}

// --- search_layer and select_neighbors on hand-made graphs ------------------------------------

// One-dimensional points, so every distance is a square of a difference that is easy to follow.
struct LineFixture {
  explicit LineFixture(std::vector<float> xs)
      : positions(std::move(xs)),
        data(positions, positions.size(), 1, Metric::Euclidean),
        dist(data) {}
  std::vector<float> positions;
  Dataset data;
  ExactDistance dist;
};

// A single-layer graph with the given out-lists.
Hnsw layer0_graph(const std::vector<std::vector<PointId>>& lists) {
  Hnsw g;
  const std::vector<std::size_t> levels(lists.size(), 0);
  g.links = Links(levels, lists.size(), 0);
  for (PointId p = 0; p < lists.size(); ++p) {
    PointId* b = g.links.block(p, 0);
    b[1] = static_cast<PointId>(lists[p].size());
    std::copy(lists[p].begin(), lists[p].end(), b + 2);
  }
  return g;
}

std::vector<PointId> sorted_ids(std::span<const Entry> entries) {
  std::vector<PointId> ids;
  for (const Entry e : entries) ids.push_back(entry_id(e));
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(HnswSearchLayer, BeamWidthDecidesHowFarTheWalkGoes) {
  // The query is point 0 at x = 0. From the entry 1 (x = 5) the walk must pass the farther point
  // 2 (x = 6) to reach 3 (x = 1) and then 4 (x = 0.5).
  LineFixture f({0.0f, 5.0f, 6.0f, 1.0f, 0.5f});
  const Hnsw g = layer0_graph({{}, {2}, {1, 3}, {2, 4}, {3}});
  TaskScratch scratch(5);
  struct Case {
    std::size_t ef;
    std::vector<PointId> want;
  };
  const Case cases[] = {
      {0, {1}},            // keeps one entry; a farther neighbour is never admitted
      {1, {1}},            // greedy: stops at the first popped candidate farther than the best
      {2, {3, 4}},         // room for 2 lets the walk cross point 2
      {3, {1, 3, 4}},      //
      {10, {1, 2, 3, 4}},  // everything reachable
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sorted_ids(search_layer(f.dist, 0, 1, c.ef, 0, g, scratch)), c.want) << "ef=" << c.ef;
  }
}

TEST(HnswSearchLayer, DistancesAloneDecideAdmissionAndStopping) {
  TaskScratch scratch(5);
  {
    // Full at ef = 2 with {4, 3} at distance 1: points 2 and 1, as far but with smaller ids,
    // are not admitted.
    LineFixture f({0.0f, 1.0f, 1.0f, 1.0f, 1.0f});
    const Hnsw g = layer0_graph({{}, {}, {}, {}, {3, 2, 1}});
    EXPECT_EQ(sorted_ids(search_layer(f.dist, 0, 4, 2, 0, g, scratch)),
              (std::vector<PointId>{3, 4}));
  }
  {
    // Point 3 (x = -1) is admitted, then pushed out by 2 (x = 0.5). When it is popped it is as
    // far as the farthest kept entry, point 1, so it is still expanded and leads to 4.
    LineFixture f({0.0f, 1.0f, 0.5f, -1.0f, -0.1f});
    const Hnsw g = layer0_graph({{}, {3, 2}, {}, {4}, {}});
    EXPECT_EQ(sorted_ids(search_layer(f.dist, 0, 1, 2, 0, g, scratch)),
              (std::vector<PointId>{2, 4}));
  }
}

TEST(HnswSearchLayer, EvaluatesEachPointOnceAndReusesTheScratch) {
  struct Counting {
    const ExactDistance* dist;
    std::vector<int>* seen;
    float operator()(PointId a, PointId b) const {
      ++(*seen)[b];
      return (*dist)(a, b);
    }
  };
  // A complete graph: every point reaches every other through many paths.
  LineFixture f({0.0f, 3.0f, 1.0f, 4.0f, 1.5f, 9.0f});
  std::vector<std::vector<PointId>> lists(6);
  for (PointId p = 0; p < 6; ++p) {
    for (PointId e = 0; e < 6; ++e) {
      if (e != p) lists[p].push_back(e);
    }
  }
  const Hnsw g = layer0_graph(lists);
  TaskScratch scratch(6);
  for (int search = 0; search < 3; ++search) {
    std::vector<int> seen(6, 0);
    const Counting counting{&f.dist, &seen};
    const auto found = search_layer(counting, 0, 5, 3, 0, g, scratch);
    EXPECT_EQ(sorted_ids(found), (std::vector<PointId>{0, 2, 4}));
    EXPECT_EQ(seen, std::vector<int>(6, 1)) << "search " << search;
  }
  // A wrapped stamp clears the marks instead of mistaking old marks for new ones.
  scratch.visited.stamp = 0xFFFFFFFFu;
  std::fill(scratch.visited.marks.begin(), scratch.visited.marks.end(), 1u);
  EXPECT_EQ(sorted_ids(search_layer(f.dist, 0, 5, 3, 0, g, scratch)),
            (std::vector<PointId>{0, 2, 4}));
  EXPECT_EQ(scratch.visited.stamp, 1u);
}

TEST(HnswSelectNeighbors, KeepsOnlyCandidatesNoKeptNeighbourIsCloserTo) {
  // The point q is point 0 at x = 0; the rest lie on both sides of it.
  LineFixture f({0.0f, 1.0f, 2.0f, -3.0f, -1.0f, 1.0f, -4.0f, 0.5f, 0.0f});
  struct Case {
    const char* what;
    std::vector<PointId> candidates;
    std::size_t max_count;
    std::vector<PointId> want;
  };
  const Case cases[] = {
      {"a nearer kept point rejects", {1, 2, 3}, 8, {1, 3}},
      {"q itself is skipped", {0, 2}, 8, {2}},
      {"opposite sides are both kept", {1, 4}, 8, {1, 4}},
      // Point 8 sits on q, so point 1 is as far from it as from q: not closer, so kept.
      {"as far from a kept point as from q", {8, 1}, 8, {8, 1}},
      {"ties in distance to q go by id", {5, 1}, 8, {1}},
      {"stops at max_count", {1, 4, 6}, 2, {1, 4}},
      {"rejected candidates never fill up", {7, 1, 2}, 8, {7}},
      {"max_count 0", {1, 3}, 0, {}},
  };
  std::vector<PointId> chosen;
  for (const auto& c : cases) {
    std::vector<Entry> candidates;
    for (const PointId id : c.candidates) candidates.push_back(make_entry(f.dist(0, id), id));
    select_neighbors(f.dist, 0, candidates, c.max_count, chosen);
    EXPECT_EQ(chosen, c.want) << c.what;
  }
}

// --- builds ----------------------------------------------------------------------------------

// Every list within its bound, free of its own point and of duplicates, and only on layers the
// point has; the entry point has the top level.
void expect_well_formed(const Hnsw& g, std::size_t n, std::size_t m) {
  ASSERT_EQ(g.links.size(), n);
  std::size_t top = 0;
  for (PointId p = 0; p < n; ++p) {
    const std::size_t level = g.links.level(p);
    top = std::max(top, level);
    for (std::size_t layer = 0; layer <= level; ++layer) {
      const auto ids = g.links.list(p, layer);
      EXPECT_LE(ids.size(), layer == 0 ? 2 * m : m) << "p=" << p << " layer=" << layer;
      std::set<PointId> distinct(ids.begin(), ids.end());
      EXPECT_EQ(distinct.size(), ids.size()) << "p=" << p << " layer=" << layer;
      EXPECT_EQ(distinct.count(p), 0u);
      for (const PointId e : ids) {
        ASSERT_LT(e, n);
        EXPECT_GE(g.links.level(e), layer) << "a point linked above its level";
      }
    }
  }
  EXPECT_EQ(g.max_level, top);
  EXPECT_EQ(g.links.level(g.entry), top);
}

TEST(HnswBuild, ListsStayWithinTheirBoundsForAnyPool) {
  const auto values = gaussian(3000, 8, 1);
  const Dataset data(values, 3000, 8, Metric::Euclidean);
  for (const std::size_t m : {1, 2, 5}) {
    HnswParams params;
    params.m = m;
    params.ef_construction = 40;
    for (const std::size_t threads : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " threads=" << threads);
      expect_well_formed(build(data, params, threads), 3000, m);
    }
  }
}

// Points reachable from the entry point through layer-0 lists.
std::size_t reachable(const Hnsw& g) {
  std::vector<char> seen(g.links.size(), 0);
  std::vector<PointId> stack = {g.entry};
  seen[g.entry] = 1;
  std::size_t count = 1;
  while (!stack.empty()) {
    const PointId p = stack.back();
    stack.pop_back();
    for (const PointId e : g.links.list(p, 0)) {
      if (!seen[e]) {
        seen[e] = 1;
        ++count;
        stack.push_back(e);
      }
    }
  }
  return count;
}

TEST(HnswBuild, ConcurrentInsertionsLeaveNoPointBehind) {
  // A search that descends into a point still being inserted must find that point's lower lists
  // in place; otherwise its own point is linked to that one point only and can drop out of the
  // graph. Small sets make such overlaps frequent, so a few dozen builds expose it.
  const auto values = gaussian(150, 7, 4);
  const Dataset data(values, 150, 7, Metric::Euclidean);
  for (int trial = 0; trial < 40; ++trial) {
    const Hnsw g = build(data, HnswParams{}, 3);
    ASSERT_EQ(reachable(g), 150u) << "trial " << trial;
  }
}

TEST(HnswBuild, OneWorkerBuildsAreReproducible) {
  const auto values = clustered(2000, 12, 10, 3.0f, 2);
  const Dataset data(values, 2000, 12, Metric::Euclidean);
  HnswParams params;
  params.m = 6;
  params.ef_construction = 50;
  params.seed = 17;
  const Hnsw a = build(data, params, 1);
  const Hnsw b = build(data, params, 1);
  EXPECT_EQ(a.links.level0, b.links.level0);
  EXPECT_EQ(a.links.upper, b.links.upper);
  EXPECT_EQ(a.entry, b.entry);
  const SelfKnn ka = self_knn(data, params, 5, 1);
  const SelfKnn kb = self_knn(data, params, 5, 1);
  EXPECT_EQ(ka.indices, kb.indices);
  EXPECT_EQ(ka.distances, kb.distances);

  params.seed = 18;
  EXPECT_NE(build(data, params, 1).links.upper_begin, a.links.upper_begin);
}

TEST(HnswBuild, DegenerateBudgets) {
  const auto values = gaussian(300, 4, 3);
  const Dataset data(values, 300, 4, Metric::Euclidean);
  HnswParams params;

  params.m = 0;  // every level 0, every budget 0: no edges at all
  const Hnsw none = build(data, params, 2);
  EXPECT_EQ(none.max_level, 0u);
  for (PointId p = 0; p < 300; ++p) EXPECT_TRUE(none.links.list(p, 0).empty());

  params.m = 1;  // every level capped; one id per upper list, two on layer 0
  const Hnsw thin = build(data, params, 2);
  expect_well_formed(thin, 300, 1);
  EXPECT_EQ(thin.max_level, kMaxLevel);
  EXPECT_EQ(thin.links.level(123), kMaxLevel);

  params.m = 8;  // a new point gets no more neighbours than its insertion beam found
  params.ef_construction = 2;
  const Hnsw narrow = build(data, params, 1);
  // With one worker nothing links to the last point after its own insertion.
  for (std::size_t layer = 0; layer <= narrow.links.level(299); ++layer) {
    EXPECT_LE(narrow.links.list(299, layer).size(), 2u);
  }
}

TEST(HnswBuild, IdenticalPointsFillEveryBudget) {
  // Every distance is 0, so no candidate is ever closer to a kept neighbour than to the new
  // point: selection keeps the nearest by id up to the budget, 2 * m on layer 0.
  const std::vector<float> values(100 * 2, 1.0f);
  const Dataset data(values, 100, 2, Metric::Euclidean);
  HnswParams params;
  params.m = 4;
  params.ef_construction = 30;
  const Hnsw g = build(data, params, 1);
  expect_well_formed(g, 100, 4);
  const auto last = g.links.list(99, 0);  // nothing linked to it afterwards
  EXPECT_EQ(last.size(), 8u);
  EXPECT_TRUE(std::is_sorted(last.begin(), last.end()));
}

// --- the self-kNN driver ---------------------------------------------------------------------

TEST(HnswDriver, SmallSetsMatchExactSelfKnn) {
  // On 150 distinct points a beam of 150 finds everything, so rows equal the exact ones (the
  // point itself first, at distance 0, then by exact distance). The quantized search picks its
  // own stride best, so it matches only when a row holds the point alone or every point.
  const auto values = gaussian(150, 7, 4);
  HnswParams params;
  params.ef_search = 150;
  for (const Metric metric : {Metric::Euclidean, Metric::Cosine}) {
    const Dataset data(values, 150, 7, metric);
    for (const std::size_t k : {0, 1, 6, 149, 500}) {
      SelfKnn want;
      run_in_pool(2, [&] { want = knn_self_bruteforce(data, k); });
      for (const bool sq8 : {false, true}) {
        if (sq8 && k != 0 && k < 149) continue;
        params.sq8 = sq8;
        const SelfKnn got = self_knn(data, params, k, 2);
        EXPECT_EQ(got.stride, want.stride) << "k=" << k;
        EXPECT_EQ(got.indices, want.indices) << "k=" << k << " sq8=" << sq8;
        EXPECT_EQ(got.distances, want.distances) << "k=" << k << " sq8=" << sq8;
      }
    }
  }
}

TEST(HnswDriver, EmptyAndSinglePointSets) {
  const std::vector<float> none;
  const SelfKnn empty = self_knn(Dataset(none, 0, 3, Metric::Euclidean), HnswParams{}, 4, 1);
  EXPECT_EQ(empty.stride, 1u);
  EXPECT_TRUE(empty.indices.empty());
  EXPECT_TRUE(empty.distances.empty());

  const std::vector<float> one = {1.0f, 2.0f};
  for (const bool sq8 : {false, true}) {
    HnswParams params;
    params.sq8 = sq8;
    const SelfKnn single = self_knn(Dataset(one, 1, 2, Metric::Euclidean), params, 1000, 2);
    EXPECT_EQ(single.stride, 1u);
    EXPECT_EQ(single.indices, std::vector<PointId>{0});
    EXPECT_EQ(single.distances, std::vector<float>{0.0f});
  }
}

TEST(HnswDriver, WithoutEdgesRowsHoldSelfAndTheEntryThenPadding) {
  // m = 0: every search returns only the entry point 0; the row adds the point itself, orders
  // the two by exact distance (3-4-5 triangles: distance 5) and pads with the point.
  const std::vector<float> values = {0, 0, 3, 4, -3, -4, 0, 0};
  HnswParams params;
  params.m = 0;
  const SelfKnn got = self_knn(Dataset(values, 4, 2, Metric::Euclidean), params, 3, 2);
  ASSERT_EQ(got.stride, 4u);
  EXPECT_EQ(row_ids(got, 0), (std::vector<PointId>{0, 0, 0, 0}));
  EXPECT_EQ(row_ids(got, 1), (std::vector<PointId>{1, 0, 1, 1}));
  EXPECT_EQ(row_dists(got, 1), (std::vector<float>{0, 5, 0, 0}));
  // Point 3 coincides with point 0, whose smaller id puts it first.
  EXPECT_EQ(row_ids(got, 3), (std::vector<PointId>{0, 3, 3, 3}));
  EXPECT_EQ(row_dists(got, 3), (std::vector<float>{0, 0, 0, 0}));
}

TEST(HnswDriver, IdenticalPointsOrderByIdAtDistanceZero) {
  const std::vector<float> values(60 * 3, 2.5f);
  const Dataset data(values, 60, 3, Metric::Euclidean);
  HnswParams params;
  params.m = 4;
  params.ef_search = 8;
  for (const bool sq8 : {false, true}) {
    params.sq8 = sq8;
    const SelfKnn got = self_knn(data, params, 5, 2);
    for (std::size_t i = 0; i < 60; ++i) {
      const auto ids = row_ids(got, i);
      EXPECT_EQ(row_dists(got, i), std::vector<float>(6, 0.0f));
      EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << "row " << i;
      EXPECT_EQ(std::set<PointId>(ids.begin(), ids.end()).size(), 6u) << "row " << i;
      // The point is listed unless six points with smaller ids pushed it out.
      const bool listed = std::find(ids.begin(), ids.end(), i) != ids.end();
      EXPECT_TRUE(listed || ids.back() < i) << "row " << i;
    }
  }
}

TEST(HnswDriver, FinalBeamIsNeverNarrowerThanTheRow) {
  const auto values = clustered(1500, 10, 15, 3.0f, 5);
  const Dataset data(values, 1500, 10, Metric::Euclidean);
  HnswParams params;
  params.m = 6;
  params.ef_construction = 60;
  params.ef_search = 12;
  const SelfKnn wide = self_knn(data, params, 11, 1);
  for (const std::size_t ef : {0, 1, 5}) {
    params.ef_search = ef;
    const SelfKnn narrow = self_knn(data, params, 11, 1);
    EXPECT_EQ(narrow.indices, wide.indices) << "ef_search=" << ef;
    EXPECT_EQ(narrow.distances, wide.distances) << "ef_search=" << ef;
  }
}

TEST(HnswDriver, Sq8ListsByCodesButOrdersAndReportsExactly) {
  // One far point stretches the code range so that points 1 .. 6 share code 0: the quantized
  // search cannot tell them apart, yet each row is ordered and reported by exact distance.
  const std::vector<float> values = {2550.0f, 0.4f, 3.0f, 1.0f, 0.0f, 2.0f, 0.2f};
  const Dataset data(values, values.size(), 1, Metric::Euclidean);
  HnswParams params;
  params.sq8 = true;
  const SelfKnn got = self_knn(data, params, 6, 1);
  ASSERT_EQ(got.stride, 7u);
  EXPECT_EQ(row_ids(got, 1), (std::vector<PointId>{1, 6, 4, 3, 5, 2, 0}));
  const std::vector<float> want = {0.0f, 0.2f, 0.4f, 0.6f, 1.6f, 2.6f, 2549.6f};
  const auto dists = row_dists(got, 1);
  for (std::size_t p = 0; p < 7; ++p) EXPECT_FLOAT_EQ(dists[p], want[p]) << "slot " << p;
}

// --- recall ----------------------------------------------------------------------------------

// Mean fraction of the exact 10 nearest other points found among the other points of each
// sampled row.
double recall_at_10(const Dataset& data, const SelfKnn& knn, std::size_t samples) {
  std::size_t hits = 0;
  std::vector<Neighbor> all(data.n);
  for (std::size_t s = 0; s < samples; ++s) {
    const std::size_t i = s * (data.n / samples);
    for (std::size_t j = 0; j < data.n; ++j) {
      all[j] = Neighbor{static_cast<PointId>(j), sq_l2(data.row(i), data.row(j), data.d)};
    }
    all[i].dist = std::numeric_limits<float>::infinity();
    std::partial_sort(all.begin(), all.begin() + 10, all.end(), closer);
    std::set<PointId> exact;
    for (std::size_t r = 0; r < 10; ++r) exact.insert(all[r].id);
    for (const PointId id : row_ids(knn, i)) hits += id != i && exact.count(id);
  }
  return static_cast<double>(hits) / static_cast<double>(10 * samples);
}

TEST(HnswRecall, DefaultsOnClusteredData) {
  const std::size_t n = 20000, d = 32;
  const auto values = clustered(n, d, 50, 3.0f, 6);
  const Dataset data(values, n, d, Metric::Euclidean);
  HnswParams params;
  const double exact = recall_at_10(data, self_knn(data, params, 10, 2), 400);
  EXPECT_GE(exact, 0.98);
  params.sq8 = true;
  const double quantized = recall_at_10(data, self_knn(data, params, 10, 2), 400);
  EXPECT_GE(quantized, 0.90);
  std::printf("recall@10: float32 %.4f, sq8 %.4f\n", exact, quantized);
}

}  // namespace
}  // namespace orlim::hnsw
