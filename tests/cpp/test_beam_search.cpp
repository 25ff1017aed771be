#include "orlim/search/beam_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"

// Every allocation of this test program is counted, so a test can assert that a stretch of code
// allocates nothing. (GCC cannot see that these replacements pair malloc with free.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
std::atomic<std::size_t> g_allocations{0};

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using orlim::Dataset;
using orlim::Graph;
using orlim::Metric;
using orlim::Neighbor;
using orlim::PointId;
using orlim::Scratch;

// The search rules one step at a time: scan from the front for the first unexpanded entry,
// score neighbours one by one, linear insertion after equal distances. No batching, no cursor.
std::vector<Neighbor> reference_search(const Dataset& data, const Graph& graph,
                                       const std::vector<PointId>& starts, const float* query,
                                       std::size_t beam_l) {
  std::vector<char> visited(data.n, 0), expanded(data.n, 0);
  auto dist = [&](PointId v) { return orlim::sq_l2_scalar(query, data.row(v), data.d); };
  std::vector<Neighbor> list;
  for (PointId s : starts) {
    if (visited[s]) continue;
    visited[s] = 1;
    list.push_back({s, dist(s)});
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Neighbor& a, const Neighbor& b) { return a.dist < b.dist; });
  while (list.size() > beam_l) {
    visited[list.back().id] = 0;
    list.pop_back();
  }
  for (;;) {
    std::size_t i = 0;
    while (i < list.size() && expanded[list[i].id]) ++i;
    if (i == list.size()) break;
    const PointId v = list[i].id;
    expanded[v] = 1;
    for (PointId w : graph.neighbors_of(v)) {
      if (visited[w]) continue;
      const float g = dist(w);
      if (list.size() == beam_l && !(g < list.back().dist)) continue;
      std::size_t at = 0;
      while (at < list.size() && list[at].dist <= g) ++at;
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), Neighbor{w, g});
      visited[w] = 1;
      if (list.size() > beam_l) {
        visited[list.back().id] = 0;
        list.pop_back();
      }
    }
  }
  return list;
}

bool scratch_is_clean(const Scratch& s) {
  return s.touched.empty() &&
         std::all_of(s.visited.begin(), s.visited.end(), [](auto f) { return f == 0; }) &&
         std::all_of(s.expanded.begin(), s.expanded.end(), [](auto f) { return f == 0; });
}

std::vector<PointId> ids_of(const std::vector<Neighbor>& list) {
  std::vector<PointId> ids;
  for (const Neighbor& e : list) ids.push_back(e.id);
  return ids;
}

// Points on a line (d = 1), so distances to a query are easy to read off.
struct LineFixture {
  std::vector<float> xs;
  Dataset data;
  Graph graph;
  Scratch scratch;
  LineFixture(std::vector<float> coords, std::vector<std::vector<PointId>> lists)
      : xs(std::move(coords)),
        data(xs, xs.size(), 1, Metric::Euclidean),
        graph(Graph::from_adjacency(std::move(lists), 0)),
        scratch(xs.size()) {}
  std::vector<Neighbor> search(std::vector<PointId> starts, float q, std::size_t beam_l) {
    const float query[1] = {q};
    return orlim::beam_search(data, graph, starts, query, beam_l, scratch);
  }
};

TEST(BeamSearch, HandMadeGraphsFollowTheAdmissionRules) {
  // x:        0     1     2     3     4     5
  //         -1.0   1.0   1.0   2.0   3.0   1.0
  // Query at 0: nodes 0, 1, 2 and 5 lie at squared distance 1, node 3 at 4, node 4 at 9.
  struct Case {
    const char* name;
    std::vector<PointId> starts;
    std::size_t beam_l;
    std::vector<PointId> want;
  };
  const Case cases[] = {
      {"no starts", {}, 4, {}},
      {"zero beam", {1}, 0, {}},
      {"isolated start, beam 1", {5}, 1, {5}},
      {"duplicate starts are scored once", {0, 0, 0}, 3, {0}},
      // Seeding keeps the L nearest starts; equal distances stay in start order.
      {"more starts than L", {4, 3, 5, 2}, 2, {5, 2}},
      // 1 expands to [3, 0, 2]: 3 (d 4) enters, 0 (d 1) goes after 1, then 2 (d 1) after 0 and
      // pushes 3 out. Ties keep admission order.
      {"ties go after equal distances", {1}, 3, {1, 0, 2}},
      // With L = 2 the list [1, 0] is full when 2 arrives at the same distance as the last
      // entry: not strictly nearer, so not admitted.
      {"tie with a full list is refused", {1}, 2, {1, 0}},
      {"beam wider than the graph", {4}, 50, {1, 0, 2, 5, 3, 4}},
  };
  LineFixture f({-1.0f, 1.0f, 1.0f, 2.0f, 3.0f, 1.0f}, {{}, {3, 0, 2}, {5}, {1}, {3}, {}});
  for (const Case& c : cases) {
    const auto got = f.search(c.starts, 0.0f, c.beam_l);
    EXPECT_EQ(ids_of(got), c.want) << c.name;
    EXPECT_TRUE(scratch_is_clean(f.scratch)) << c.name;
  }
}

TEST(BeamSearch, QueryOnABaseVectorFindsItAtDistanceZeroFirst) {
  LineFixture f({5.0f, 4.0f, 3.0f, 2.0f, 1.0f}, {{1}, {0, 2}, {1, 3}, {2, 4}, {3}});
  const auto got = f.search({0}, 2.0f, 3);
  ASSERT_EQ(ids_of(got), (std::vector<PointId>{3, 2, 4}));
  EXPECT_EQ(got[0].dist, 0.0f);
  EXPECT_EQ(got[1].dist, 1.0f);
}

// Random graphs with self-loops, repeated ids and isolated nodes, on integer coordinates so that
// equal distances are everywhere; one Scratch serves every search.
TEST(BeamSearch, MatchesTheStepByStepRulesOnRandomGraphs) {
  std::mt19937 gen(11);
  for (std::size_t d : {1u, 3u, 4u, 20u, 35u}) {
    const std::size_t n = 150;
    std::uniform_int_distribution<int> coord(0, 3);
    std::vector<float> xs(n * d);
    for (float& x : xs) x = static_cast<float>(coord(gen));
    std::uniform_int_distribution<PointId> node(0, n - 1);
    std::uniform_int_distribution<std::size_t> degree(0, 9);
    std::vector<std::vector<PointId>> lists(n);
    for (auto& list : lists) {
      for (std::size_t j = degree(gen); j > 0; --j) list.push_back(node(gen));
    }
    const Dataset data(xs, n, d, Metric::Euclidean);
    const Graph graph = Graph::from_adjacency(lists, 0);
    Scratch scratch(n);
    std::vector<Neighbor> got;
    for (std::size_t beam_l : {1u, 2u, 3u, 7u, 16u, 64u, 400u}) {
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<float> query(d);
        for (float& x : query) x = static_cast<float>(coord(gen)) + 0.5f * (trial % 2);
        // The last trial has more starts than an insertion sort takes.
        std::vector<PointId> starts(trial == 19 ? 90 : trial % 5);
        for (PointId& s : starts) s = node(gen);
        if (trial % 7 == 0 && !starts.empty()) starts.push_back(starts.front());
        orlim::beam_search(data, graph, starts, query, beam_l, scratch, got);
        const auto want = reference_search(data, graph, starts, query.data(), beam_l);
        ASSERT_EQ(got.size(), want.size()) << "d=" << d << " L=" << beam_l << " t=" << trial;
        for (std::size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ(got[i].id, want[i].id) << "d=" << d << " L=" << beam_l << " t=" << trial;
          ASSERT_EQ(got[i].dist, want[i].dist);
        }
        ASSERT_TRUE(scratch_is_clean(scratch));
      }
    }
  }
}

TEST(BeamSearch, AReusedScratchAndResultAllocateNothingPerSearch) {
  const std::size_t n = 2000, d = 24;
  std::mt19937 gen(3);
  std::normal_distribution<float> unit;
  std::vector<float> xs(n * d);
  for (float& x : xs) x = unit(gen);
  std::uniform_int_distribution<PointId> node(0, n - 1);
  std::vector<std::vector<PointId>> lists(n);
  for (auto& list : lists) {
    for (int j = 0; j < 12; ++j) list.push_back(node(gen));
  }
  const Dataset data(xs, n, d, Metric::Euclidean);
  const Graph graph = Graph::from_adjacency(lists, 0);
  Scratch scratch(n);
  std::vector<Neighbor> found;
  const std::vector<PointId> starts{1, 2, 3};
  // The first pass grows the result and `touched` to the largest search; the second must reuse
  // them.
  for (int pass = 0; pass < 2; ++pass) {
    const std::size_t before = g_allocations.load();
    for (std::size_t q = 0; q < 50; ++q) {
      orlim::beam_search(data, graph, starts, {data.row(q), d}, 40, scratch, found);
    }
    if (pass == 1) {
      EXPECT_EQ(g_allocations.load() - before, 0u);
    }
  }
}

TEST(BeamSearch, BadIdsAndSizesFailAndLeaveTheScratchClean) {
  LineFixture f({0.0f, 1.0f, 2.0f}, {{1}, {2, 7}, {}});
  EXPECT_THROW(f.search({0, 3}, 0.0f, 4), orlim::Failure);  // start out of range
  EXPECT_TRUE(scratch_is_clean(f.scratch));
  EXPECT_THROW(f.search({0}, 0.0f, 4), orlim::Failure);  // node 1 lists node 7
  EXPECT_TRUE(scratch_is_clean(f.scratch));

  Scratch small(2);
  const float q[1] = {0.0f};
  const std::vector<PointId> starts{0};
  EXPECT_THROW(orlim::beam_search(f.data, f.graph, starts, q, 2, small), orlim::Failure);
  EXPECT_THROW(orlim::beam_search(f.data, f.graph, starts, std::span<const float>(), 2, f.scratch),
               orlim::Failure);
}

TEST(BeamSearch, NanDistancesSortLastAndNeverBreakTheSearch) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  LineFixture f({1.0f, nan, 2.0f, nan, 3.0f}, {{1, 2, 3}, {0, 4}, {3, 4}, {2}, {1}});
  for (std::size_t beam_l : {1u, 2u, 3u, 5u}) {
    const auto got = f.search({1, 0}, 0.0f, beam_l);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].id, 0u) << beam_l;
    for (std::size_t i = 1; i < got.size(); ++i) {
      EXPECT_LE(orlim::dist_key(got[i - 1].dist), orlim::dist_key(got[i].dist));
    }
    EXPECT_TRUE(scratch_is_clean(f.scratch));
  }
}

}  // namespace
