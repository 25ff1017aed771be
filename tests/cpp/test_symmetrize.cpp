#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/build/symmetrize.hpp"

namespace orlim {
namespace {

using Lists = std::vector<std::vector<PointId>>;

FlatAdjacency to_flat(const Lists& lists, std::size_t r) {
  FlatAdjacency flat(lists.size(), r);
  for (std::size_t v = 0; v < lists.size(); ++v) {
    EXPECT_LE(lists[v].size(), r) << "fixture list longer than the row";
    const std::size_t degree = std::min(lists[v].size(), r);
    std::copy_n(lists[v].begin(), degree, flat.row(v).begin());
    flat.degrees[v] = static_cast<std::uint32_t>(degree);
  }
  return flat;
}

Lists to_lists(const FlatAdjacency& flat) {
  Lists lists(flat.n);
  for (std::size_t v = 0; v < flat.n; ++v) {
    const auto list = flat.list(v);
    lists[v].assign(list.begin(), list.end());
  }
  return lists;
}

FlatAdjacency symmetrize(const Dataset& data, const Lists& pruned, std::size_t r) {
  const FlatAdjacency flat = to_flat(pruned, r);
  return symmetrize_flat(data, flat.slots, flat.degrees, flat.n, r);
}

// Every node's out- and in-neighbours as a set without the node itself; above r, the r nearest
// by (squared distance, id). Rows in ascending id.
Lists naive_symmetrize(const Dataset& data, const Lists& pruned, std::size_t r) {
  std::vector<std::set<PointId>> merged(pruned.size());
  for (std::size_t u = 0; u < pruned.size(); ++u) {
    for (const PointId w : pruned[u]) {
      merged[u].insert(w);
      merged[w].insert(static_cast<PointId>(u));
    }
  }
  Lists out(pruned.size());
  for (std::size_t v = 0; v < pruned.size(); ++v) {
    merged[v].erase(static_cast<PointId>(v));
    std::vector<std::pair<float, PointId>> near;
    for (const PointId w : merged[v]) {
      near.push_back({sq_l2_scalar(data.row(v), data.row(w), data.d), w});
    }
    std::sort(near.begin(), near.end());
    if (near.size() > r) near.resize(r);
    for (const auto& [dist, w] : near) out[v].push_back(w);
    std::sort(out[v].begin(), out[v].end());
  }
  return out;
}

// Points on a line at the given coordinates.
struct Line {
  explicit Line(std::vector<float> x)
      : values(std::move(x)), data(values, values.size(), 1, Metric::Euclidean) {}
  std::vector<float> values;
  Dataset data;
};

TEST(SymmetrizeFlat, SmallGraphs) {
  struct Case {
    const char* name;
    std::vector<float> x;
    std::size_t r;
    Lists pruned;
    Lists want;
  };
  // A hub at 0 with 24 in-edges from points at distance 1 on both sides: enough ties that the
  // selection reorders them, and only the smallest ids may survive.
  Case ties{"many ties at the cut go to the smallest ids", {0}, 5, {{}}, {{1, 2, 3, 4, 5}}};
  for (int i = 1; i <= 24; ++i) {
    ties.x.push_back(i % 2 == 0 ? 1.0f : -1.0f);
    ties.pruned.push_back({0});
    ties.want.push_back({0});
  }
  const std::vector<Case> cases = {
      ties,
      {"reverse edges added, isolated node stays empty",
       {0, 1, 2, 3},
       3,
       {{1}, {0}, {}, {1}},
       {{1}, {0, 3}, {}, {1}}},
      {"self loops and repeats removed", {0, 1}, 3, {{1, 0, 1}, {1}}, {{1}, {0}}},
      {"at most r ids kept whole, ascending",
       {0, 5, 1, 9},
       3,
       {{3, 1}, {}, {0}, {}},
       {{1, 2, 3}, {0}, {0}, {0}}},
      {"above r the nearest are kept",
       {0, 1, 2, 3, 4, 5},
       2,
       {{}, {0}, {0}, {0}, {0}, {0}},
       {{1, 2}, {0}, {0}, {0}, {0}, {0}}},
      {"tie at the cut goes to the smaller id", {0, 1, -1}, 1, {{}, {0}, {0}}, {{1}, {0}, {0}}},
      {"tie at the cut, listed high id first",
       {0, 1, -2, 2},
       2,
       {{3, 2}, {0}, {}, {}},
       {{1, 2}, {0}, {0}, {0}}},
      {"no edges", {0, 1, 2}, 1, {{}, {}, {}}, {{}, {}, {}}},
      {"no nodes", {}, 4, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Line line(c.x);
    const FlatAdjacency got = symmetrize(line.data, c.pruned, c.r);
    EXPECT_EQ(to_lists(got), c.want);
    for (std::size_t v = 0; v < got.n; ++v) {
      for (std::size_t j = got.degrees[v]; j < c.r; ++j) EXPECT_EQ(got.row(v)[j], kNoPoint);
    }
  }
}

TEST(SymmetrizeFlat, MatchesTheNaiveMergeAndDoesNotDependOnTheThreadCount) {
  constexpr std::size_t kN = 3000;
  constexpr std::size_t kD = 5;
  constexpr std::size_t kR = 6;
  std::mt19937 gen(99);
  std::normal_distribution<float> normal;
  std::vector<float> values(kN * kD);
  for (float& v : values) v = normal(gen);
  const Dataset data(values, kN, kD, Metric::Euclidean);
  // Random one-way lists, a few hubs to push many nodes past r, with self loops and repeats.
  std::uniform_int_distribution<PointId> any(0, kN - 1);
  std::uniform_int_distribution<PointId> hub(0, 20);
  std::uniform_int_distribution<std::size_t> degree(0, kR);
  Lists pruned(kN);
  for (auto& list : pruned) {
    list.resize(degree(gen));
    for (PointId& w : list) w = gen() % 3 == 0 ? hub(gen) : any(gen);
  }
  const Lists want = naive_symmetrize(data, pruned, kR);

  std::optional<FlatAdjacency> by_threads[2];
  for (std::size_t threads : {1, 2}) {
    std::optional<Pool> pool = Pool::dedicated(threads);
    ASSERT_TRUE(pool.has_value());
    pool->run([&] { by_threads[threads - 1] = symmetrize(data, pruned, kR); });
  }
  EXPECT_EQ(to_lists(*by_threads[0]), want);
  EXPECT_EQ(by_threads[0]->slots, by_threads[1]->slots);
  EXPECT_EQ(by_threads[0]->degrees, by_threads[1]->degrees);
  EXPECT_NO_THROW(check_graph_invariants(Graph::from_flat(*by_threads[1], 0), kR));
}

TEST(SymmetrizeFlat, RejectsMalformedPrunedRows) {
  const Line line({0, 1, 2});
  FlatAdjacency flat = to_flat({{1}, {2}, {0}}, 2);
  const auto run = [&](std::size_t n) {
    symmetrize_flat(line.data, flat.slots, flat.degrees, n, flat.r);
  };
  EXPECT_NO_THROW(run(3));
  EXPECT_THROW(run(2), Failure) << "rows and degrees longer than n";

  flat.row(1)[0] = 3;
  EXPECT_THROW(run(3), Failure) << "id out of range";
  flat.row(1)[0] = 2;
  flat.degrees[2] = 3;
  EXPECT_THROW(run(3), Failure) << "degree above r";

  const Line short_line({0, 1});
  EXPECT_THROW(
      symmetrize_flat(short_line.data, to_flat({{1}, {2}, {0}}, 2).slots, flat.degrees, 3, 2),
      Failure)
      << "more nodes than points";
}

TEST(ApproxMedoid, PointNearestTheCentroid) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<float> values;
    std::size_t n;
    std::size_t d;
    PointId want;
  };
  const std::vector<Case> cases = {
      {"empty", {}, 0, 3, 0},
      {"no dimensions", {}, 4, 0, 0},
      {"single point", {7, 7}, 1, 2, 0},
      {"clear winner", {0, 0, 10, 0, 0, 10, 3, 3, 10, 10}, 5, 2, 3},  // centroid (4.6, 4.6)
      // Centroid 0; ids 1 and 2 at distance 1, the smaller id wins even when listed later.
      {"tie to the smaller id", {-2, 1, -1, 2}, 4, 1, 1},
      // The centroid is NaN, so no distance is a number and nothing wins.
      {"NaN never wins", {1, nan, 3}, 3, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Dataset data(c.values, c.n, c.d, Metric::Euclidean);
    EXPECT_EQ(approx_medoid(data), c.want);
  }
}

TEST(ApproxMedoid, ScalesByTheFloat32ReciprocalOfN) {
  // Six values a few ulps apart near 5.52. sum * float(1/6) lands one ulp above sum / 6, and the
  // nearest point moves from id 0 (the divide's answer) to id 4.
  const std::vector<std::uint32_t> bits = {1085321749, 1085321752, 1085321753,
                                           1085321748, 1085321750, 1085321748};
  std::vector<float> values;
  for (const std::uint32_t b : bits) values.push_back(std::bit_cast<float>(b));
  const Dataset data(values, values.size(), 1, Metric::Euclidean);
  EXPECT_EQ(approx_medoid(data), 4u);
}

}  // namespace
}  // namespace orlim
