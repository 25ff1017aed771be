#include "orlim/search/batch_knn.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "orlim/build/driver.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "synthetic_data.hpp"

namespace {

using orlim_test::clustered;

using orlim::BuildParams;
using orlim::BuiltIndex;
using orlim::Dataset;
using orlim::Graph;
using orlim::Metric;
using orlim::Neighbor;
using orlim::PointId;
using orlim::RetainedCands;
using orlim::SelfKnn;

template <class F>
void run_on(std::size_t threads, F&& job) {
  auto pool = orlim::Pool::dedicated(threads);
  ASSERT_TRUE(pool.has_value());
  pool->run(job);
}

std::vector<PointId> row_ids(const SelfKnn& knn, std::size_t row) {
  const auto* p = knn.indices.data() + row * knn.stride;
  return {p, p + knn.stride};
}

std::vector<float> row_dists(const SelfKnn& knn, std::size_t row) {
  const auto* p = knn.distances.data() + row * knn.stride;
  return {p, p + knn.stride};
}

// One retained list per point, ids as given (the producers read only the ids).
RetainedCands retained_from(const std::vector<std::vector<PointId>>& lists) {
  RetainedCands out;
  for (const auto& l : lists) out.width = std::max(out.width, l.size());
  out.slots.assign(lists.size() * out.width, Neighbor{0, 0.0f});
  for (std::size_t p = 0; p < lists.size(); ++p) {
    for (std::size_t j = 0; j < lists[p].size(); ++j) {
      out.slots[p * out.width + j] = Neighbor{lists[p][j], 0.0f};
    }
    out.counts.push_back(static_cast<std::uint32_t>(lists[p].size()));
  }
  return out;
}

// Points 0, 1, 2, ... at x = 0, 1, 2, ... (d = 1).
std::vector<float> line(std::size_t n) {
  std::vector<float> xs(n);
  for (std::size_t i = 0; i < n; ++i) xs[i] = static_cast<float>(i);
  return xs;
}

Graph no_edges(std::size_t n) {
  return Graph::from_adjacency(std::vector<std::vector<PointId>>(n), 0);
}

Graph chain(std::size_t n) {
  std::vector<std::vector<PointId>> lists(n);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    lists[i].push_back(static_cast<PointId>(i + 1));
    lists[i + 1].push_back(static_cast<PointId>(i));
  }
  return Graph::from_adjacency(std::move(lists), 0);
}

TEST(SeedPool, StridesOverTheBasePoints) {
  struct Case {
    std::size_t n, beam_width, step, count, per_query;
  };
  const Case cases[] = {
      {1, 64, 1, 1, 1},
      {10, 64, 1, 10, 10},      // the pool is cut to n
      {100, 64, 1, 100, 16},    // 64 asked, but a stride of 1 visits every point
      {5000, 10, 17, 295, 16},  // floor(4 sqrt(5000)) = 282
      {10000, 64, 25, 400, 16},
      {10000, 1000, 10, 1000, 16},   // a wide beam widens the pool
      {1000000, 64, 488, 2050, 16},  // capped at 2048 before the stride is taken
  };
  for (const Case& c : cases) {
    const orlim::SeedPool pool = orlim::make_seed_pool(c.n, c.beam_width);
    ASSERT_EQ(pool.ids.size(), c.count) << "n=" << c.n;
    EXPECT_EQ(pool.per_query, c.per_query) << "n=" << c.n;
    for (std::size_t i = 0; i < pool.ids.size(); ++i) ASSERT_EQ(pool.ids[i], i * c.step);
    EXPECT_LT(pool.ids.back(), c.n);
  }
  EXPECT_THROW(orlim::make_seed_pool(0, 64), orlim::Failure);
}

TEST(KnnQuery, RowsAreCutOrPaddedToTheStride) {
  // 40 isolated points: a query finds exactly its 16 nearest seeds and pads with the last one.
  const auto xs = line(40);
  const Dataset data(xs, 40, 1, Metric::Euclidean);
  const std::vector<float> q{10.2f};
  const SelfKnn isolated = orlim::knn_query(data, no_edges(40), q, 1, 20, 1);
  ASSERT_EQ(isolated.stride, 20u);
  const std::vector<PointId> nearest16{10, 11, 9, 12, 8, 13, 7, 14, 6, 15, 5, 16, 4, 17, 3, 18};
  auto ids = row_ids(isolated, 0);
  EXPECT_EQ(std::vector<PointId>(ids.begin(), ids.begin() + 16), nearest16);
  const auto dists = row_dists(isolated, 0);
  for (std::size_t p = 16; p < 20; ++p) {
    EXPECT_EQ(ids[p], 18u);
    EXPECT_EQ(dists[p], dists[15]);
  }
  EXPECT_NEAR(dists[15], 7.8f, 1e-5f);  // reported as the plain Euclidean distance

  // k above n: stride n, every base point once, nearest first.
  const auto few = line(5);
  const Dataset small(few, 5, 1, Metric::Euclidean);
  const std::vector<float> q2{3.4f, 0.0f};
  const SelfKnn wide = orlim::knn_query(small, chain(5), q2, 2, 9, 64);
  ASSERT_EQ(wide.stride, 5u);
  EXPECT_EQ(row_ids(wide, 0), (std::vector<PointId>{3, 4, 2, 1, 0}));
  EXPECT_EQ(row_ids(wide, 1), (std::vector<PointId>{0, 1, 2, 3, 4}));

  // k = 1 on a base vector: that vector at distance 0, no self slot.
  const std::vector<float> q3{2.0f};
  const SelfKnn one = orlim::knn_query(small, chain(5), q3, 1, 1, 1);
  EXPECT_EQ(row_ids(one, 0), std::vector<PointId>{2});
  EXPECT_EQ(row_dists(one, 0), std::vector<float>{0.0f});
}

TEST(KnnQuery, StartsAreTheExactNearestSeedsAtEveryScale) {
  // On a graph without edges a query's row is its 16 starts, which must be the 16 seeds nearest
  // by (sq_l2, id) however the pool is scanned: with many exact ties, near the bottom and the top
  // of the float range, far from the origin (the screen works on points moved by the pool's
  // mean, whose rounding its bound must cover), and for a query equal to a seed.
  struct Case {
    const char* name;
    float scale;
    bool lattice;
    float offset = 0.0f;
  };
  const Case cases[] = {{"gaussian", 1.0f, false},       {"ties", 1.0f, true},
                        {"tiny", 1e-19f, false},         {"tiny ties", 1e-19f, true},
                        {"huge", 1e18f, false},          {"huge ties", 3e18f, true},
                        {"far", 1.0f, false, 1e4f},      {"far ties", 1.0f, true, 3e5f},
                        {"far tiny", 1e-3f, false, 1e2f}};
  const std::size_t n = 4096, d = 12, n_q = 40, k = 16;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 gen(7);
    std::normal_distribution<float> unit;
    std::uniform_int_distribution<int> small(0, 2);
    auto draw = [&] {
      return c.offset + c.scale * (c.lattice ? static_cast<float>(small(gen)) : unit(gen));
    };
    std::vector<float> xs(n * d), qs(n_q * d);
    for (float& v : xs) v = draw();
    for (float& v : qs) v = draw();
    std::copy_n(xs.begin() + 32 * d, d, qs.begin());  // query 0 is seed 32's vector
    const Dataset data(xs, n, d, Metric::Euclidean);
    const orlim::SeedPool pool = orlim::make_seed_pool(n, k);
    ASSERT_GE(pool.ids.size(), 200u);
    const SelfKnn knn = orlim::knn_query(data, no_edges(n), qs, n_q, k, k);
    for (std::size_t q = 0; q < n_q; ++q) {
      std::vector<Neighbor> all;
      for (const PointId id : pool.ids) {
        all.push_back(Neighbor{id, orlim::sq_l2(&qs[q * d], data.row(id), d)});
      }
      std::sort(all.begin(), all.end(), orlim::closer);
      std::vector<PointId> want;
      for (std::size_t j = 0; j < k; ++j) want.push_back(all[j].id);
      EXPECT_EQ(row_ids(knn, q), want) << "query " << q;
    }
  }
}

TEST(KnnQuery, CosineDistancesAreHalfTheSquaredDistance) {
  const std::vector<float> xs{2.0f, 0.0f, 0.0f, 3.0f, -1.0f, 0.0f};  // normalized when stored
  const Dataset data(xs, 3, 2, Metric::Cosine);
  const std::vector<float> q{1.0f, 0.0f};
  const SelfKnn knn = orlim::knn_query(data, chain(3), q, 1, 3, 8);
  EXPECT_EQ(row_ids(knn, 0), (std::vector<PointId>{0, 1, 2}));
  const auto d = row_dists(knn, 0);
  EXPECT_FLOAT_EQ(d[0], 0.0f);
  EXPECT_FLOAT_EQ(d[1], 1.0f);
  EXPECT_FLOAT_EQ(d[2], 2.0f);
}

TEST(KnnQuery, RejectsWhatItCannotAnswer) {
  const auto xs = line(4);
  const Dataset data(xs, 4, 1, Metric::Euclidean);
  const std::vector<float> q{1.0f, 2.0f};
  EXPECT_THROW(orlim::knn_query(data, chain(4), q, 2, 0, 8), orlim::Failure);  // k = 0
  EXPECT_THROW(orlim::knn_query(data, chain(4), q, 3, 1, 8), orlim::Failure);  // 3 rows, 2 values
  const Dataset empty(std::span<const float>(), 0, 1, Metric::Euclidean);
  EXPECT_THROW(orlim::knn_query(empty, no_edges(0), q, 2, 1, 8), orlim::Failure);
}

TEST(KnnSelfGraph, SelfComesFirstAndShortRowsArePaddedWithSelf) {
  const auto xs = line(6);
  const Dataset data(xs, 6, 1, Metric::Euclidean);
  const Graph isolated = no_edges(6);
  // Without edges a beam search finds only the point itself.
  const SelfKnn beam = orlim::knn_self_graph(data, isolated, nullptr, 3, 8);
  ASSERT_EQ(beam.stride, 4u);
  for (PointId i = 0; i < 6; ++i) {
    EXPECT_EQ(row_ids(beam, i), std::vector<PointId>(4, i));
    EXPECT_EQ(row_dists(beam, i), std::vector<float>(4, 0.0f));
  }
  // Warm starts add candidates, themselves and repeats included; n <= k gives stride n.
  const RetainedCands retained = retained_from({{5, 0, 5, 1}, {1}, {}, {0, 0}, {3}, {4, 3}});
  const SelfKnn warm = orlim::knn_self_graph(data, isolated, &retained, 10, 8);
  ASSERT_EQ(warm.stride, 6u);
  EXPECT_EQ(row_ids(warm, 0), (std::vector<PointId>{0, 1, 5, 0, 0, 0}));
  EXPECT_EQ(row_ids(warm, 1), (std::vector<PointId>{1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(row_ids(warm, 3), (std::vector<PointId>{3, 0, 3, 3, 3, 3}));
  EXPECT_EQ(row_ids(warm, 5), (std::vector<PointId>{5, 4, 3, 5, 5, 5}));
  EXPECT_EQ(row_dists(warm, 5), (std::vector<float>{0.0f, 1.0f, 2.0f, 0.0f, 0.0f, 0.0f}));
  // An empty record counts as none.
  const RetainedCands none;
  const SelfKnn same = orlim::knn_self_graph(data, isolated, &none, 3, 8);
  EXPECT_EQ(same.indices, beam.indices);

  // No points: stride 1 and no rows; one point: its row is itself.
  const Dataset empty(std::span<const float>(), 0, 1, Metric::Euclidean);
  for (const SelfKnn& knn : {orlim::knn_self_graph(empty, no_edges(0), nullptr, 3, 8),
                             orlim::knn_self_reservoir(empty, no_edges(0), RetainedCands{}, 3)}) {
    EXPECT_EQ(knn.stride, 1u);
    EXPECT_TRUE(knn.indices.empty());
  }
  const Dataset single(std::span<const float>(xs.data(), 1), 1, 1, Metric::Euclidean);
  EXPECT_EQ(orlim::knn_self_graph(single, no_edges(1), nullptr, 3, 8).indices,
            std::vector<PointId>{0});

  const RetainedCands short_by_one = retained_from({{1}, {0}});
  EXPECT_THROW(orlim::knn_self_graph(data, isolated, &short_by_one, 3, 8), orlim::Failure);
}

TEST(KnnSelfGraph, APointWithNanValuesStillLeadsItsRow) {
  std::vector<float> xs = line(5);
  xs[2] = std::numeric_limits<float>::quiet_NaN();
  const Dataset data(xs, 5, 1, Metric::Euclidean);
  for (std::size_t beam_l : {1u, 3u}) {
    const SelfKnn knn = orlim::knn_self_graph(data, chain(5), nullptr, 2, beam_l);
    for (PointId i = 0; i < 5; ++i) {
      EXPECT_EQ(row_ids(knn, i)[0], i) << "L=" << beam_l;
      EXPECT_EQ(row_dists(knn, i)[0], 0.0f);
    }
  }
}

// Exact nearest among the retained ids, the graph neighbours and the graph neighbours of the
// first 6 retained ids, written the plain way.
std::vector<PointId> reservoir_row(const Dataset& data, const Graph& graph,
                                   const std::vector<PointId>& cands, PointId i,
                                   std::size_t stride) {
  std::set<PointId> ids(cands.begin(), cands.end());
  for (PointId w : graph.neighbors_of(i)) ids.insert(w);
  for (std::size_t j = 0; j < std::min<std::size_t>(6, cands.size()); ++j) {
    for (PointId w : graph.neighbors_of(cands[j])) ids.insert(w);
  }
  ids.erase(i);
  std::vector<Neighbor> scored;
  for (PointId c : ids)
    scored.push_back({c, orlim::sq_l2_scalar(data.row(i), data.row(c), data.d)});
  std::sort(scored.begin(), scored.end(), orlim::closer);
  std::vector<PointId> row{i};
  for (const Neighbor& e : scored) row.push_back(e.id);
  row.resize(stride, i);
  return row;
}

TEST(KnnSelfReservoir, MatchesTheExactNearestOfTheCollectedCandidates) {
  const std::size_t n = 60, d = 3;
  std::mt19937 gen(5);
  std::uniform_int_distribution<int> coord(0, 4);  // small integers: many equal distances
  std::vector<float> xs(n * d);
  for (float& x : xs) x = static_cast<float>(coord(gen));
  const Dataset data(xs, n, d, Metric::Euclidean);
  std::uniform_int_distribution<PointId> node(0, n - 1);
  std::uniform_int_distribution<std::size_t> len(0, 9);
  std::vector<std::vector<PointId>> lists(n), cands(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = len(gen) / 2; j > 0; --j) lists[i].push_back(node(gen));
    for (std::size_t j = len(gen); j > 0; --j) cands[i].push_back(node(gen));
    if (i % 4 == 0)
      cands[i].push_back(static_cast<PointId>(i));  // retained lists may hold the point itself
  }
  const Graph graph = Graph::from_adjacency(lists, 0);
  const RetainedCands retained = retained_from(cands);
  for (std::size_t k : {0u, 1u, 4u, 30u, 100u}) {
    const SelfKnn knn = orlim::knn_self_reservoir(data, graph, retained, k);
    ASSERT_EQ(knn.stride, std::min<std::size_t>(n, k + 1));
    for (PointId i = 0; i < n; ++i) {
      const auto want = reservoir_row(data, graph, cands[i], i, knn.stride);
      ASSERT_EQ(row_ids(knn, i), want) << "k=" << k << " row " << i;
      const auto dists = row_dists(knn, i);
      for (std::size_t p = 0; p < knn.stride; ++p) {
        EXPECT_EQ(dists[p], std::sqrt(orlim::sq_l2_scalar(data.row(i), data.row(want[p]), d)));
      }
    }
  }
  // Without retained lists only the graph neighbourhood is read.
  const SelfKnn bare = orlim::knn_self_reservoir(data, graph, RetainedCands{}, 4);
  for (PointId i = 0; i < n; ++i) {
    EXPECT_EQ(row_ids(bare, i), reservoir_row(data, graph, {}, i, bare.stride));
  }
  std::vector<std::vector<PointId>> bad = cands;
  bad[7].push_back(static_cast<PointId>(n));
  EXPECT_THROW(orlim::knn_self_reservoir(data, graph, retained_from(bad), 4), orlim::Failure);
}

// One built index and its exact answers, shared by the tests below.
struct BuiltFixture {
  static constexpr std::size_t kN = 20000, kD = 32, kQ = 500, kK = 10, kSample = 500;
  // Overlapping clusters: an easy set would give every mode a perfect score.
  std::vector<float> all = clustered(kN + kQ, kD, 50, 0.5f, 17);
  std::span<const float> base = std::span<const float>(all).first(kN * kD);
  std::span<const float> queries = std::span<const float>(all).subspan(kN * kD);
  Dataset data{base, kN, kD, Metric::Euclidean};
  BuiltIndex index;

  BuiltFixture() {
    // The retained width of the warm and reservoir modes for k = 10: min(l_max, max(k + 1, 32)).
    run_on(2, [&] { index = orlim::build_index_with_cands(data, BuildParams{}, 32); });
  }

  // The kK nearest base points of `q` other than `skip`, by brute force.
  std::vector<PointId> exact(const float* q, PointId skip) const {
    std::vector<Neighbor> all_d(kN);
    for (std::size_t j = 0; j < kN; ++j) {
      all_d[j] = {static_cast<PointId>(j), orlim::sq_l2(q, data.row(j), kD)};
    }
    all_d.erase(all_d.begin() + skip, all_d.begin() + skip + (skip < kN ? 1 : 0));
    std::partial_sort(all_d.begin(), all_d.begin() + kK, all_d.end(), orlim::closer);
    std::vector<PointId> ids;
    for (std::size_t j = 0; j < kK; ++j) ids.push_back(all_d[j].id);
    return ids;
  }

  static double overlap(const PointId* got, std::size_t len, const std::vector<PointId>& want) {
    std::size_t hits = 0;
    for (PointId w : want) hits += std::count(got, got + len, w) > 0;
    return static_cast<double>(hits);
  }

  // Recall of the kK slots after the self slot, over every 40th point.
  double self_recall(const SelfKnn& knn) const {
    double hits = 0;
    std::size_t rows = 0;
    for (std::size_t i = 0; i < kN; i += kN / kSample, ++rows) {
      hits += overlap(knn.indices.data() + i * knn.stride + 1, kK, exact(data.row(i), i));
    }
    return hits / static_cast<double>(rows * kK);
  }

  double query_recall(const SelfKnn& knn) const {
    double hits = 0;
    for (std::size_t q = 0; q < kQ; ++q) {
      hits += overlap(knn.indices.data() + q * knn.stride, kK,
                      exact(queries.data() + q * kD, static_cast<PointId>(kN)));
    }
    return hits / static_cast<double>(kQ * kK);
  }
};

class BatchQueryQuality : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixture_ = new BuiltFixture(); }
  static void TearDownTestSuite() {
    delete fixture_;
    fixture_ = nullptr;
  }
  static BuiltFixture* fixture_;
};

BuiltFixture* BatchQueryQuality::fixture_ = nullptr;

TEST_F(BatchQueryQuality, SelfKnnRecallInEveryMode) {
  const BuiltFixture& f = *fixture_;
  SelfKnn beam, warm, reservoir;
  run_on(2, [&] {
    beam = orlim::knn_self_graph(f.data, f.index.graph, nullptr, f.kK, 64);
    warm = orlim::knn_self_graph(f.data, f.index.graph, &f.index.retained, f.kK, 64);
    reservoir = orlim::knn_self_reservoir(f.data, f.index.graph, f.index.retained, f.kK);
  });
  const double r_beam = f.self_recall(beam), r_warm = f.self_recall(warm);
  const double r_reservoir = f.self_recall(reservoir);
  std::printf("self-kNN recall@10: beam %.4f  warm %.4f  reservoir %.4f\n", r_beam, r_warm,
              r_reservoir);
  EXPECT_GE(r_beam, 0.95);
  EXPECT_GE(r_warm, 0.95);
  for (const SelfKnn* knn : {&beam, &warm, &reservoir}) {
    for (std::size_t i = 0; i < f.kN; ++i) ASSERT_EQ(knn->indices[i * knn->stride], i);
  }
}

TEST_F(BatchQueryQuality, HeldOutQueryRecallGrowsWithTheBeam) {
  const BuiltFixture& f = *fixture_;
  double previous = 0.0;
  for (std::size_t beam_l : {16u, 32u, 64u, 128u, 256u}) {
    SelfKnn knn;
    run_on(2,
           [&] { knn = orlim::knn_query(f.data, f.index.graph, f.queries, f.kQ, f.kK, beam_l); });
    const double recall = f.query_recall(knn);
    std::printf("query recall@10, beam_l %3zu: %.4f\n", beam_l, recall);
    if (beam_l == 64) {
      EXPECT_GE(recall, 0.95);
    }
    EXPECT_GE(recall, previous - 0.003) << "beam_l " << beam_l;
    previous = recall;
  }
}

TEST(BatchQuery, ResultsDoNotDependOnTheNumberOfThreads) {
  const std::size_t n = 3000, d = 16, n_q = 300;
  const auto all = clustered(n + n_q, d, 20, 1.0f, 23);
  const Dataset data(std::span<const float>(all.data(), n * d), n, d, Metric::Cosine);
  const std::span<const float> queries(all.data() + n * d, n_q * d);
  BuildParams params;
  params.c_max = 400;
  params.l_max = 24;
  params.r = 16;
  BuiltIndex index;
  run_on(2, [&] { index = orlim::build_index_with_cands(data, params, 12); });
  SelfKnn got[2][4];
  for (std::size_t threads : {1u, 2u}) {
    SelfKnn* out = got[threads - 1];
    run_on(threads, [&] {
      out[0] = orlim::knn_self_graph(data, index.graph, nullptr, 7, 12);
      out[1] = orlim::knn_self_graph(data, index.graph, &index.retained, 7, 12);
      out[2] = orlim::knn_self_reservoir(data, index.graph, index.retained, 7);
      out[3] = orlim::knn_query(data, index.graph, queries, n_q, 7, 12);
    });
  }
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(got[0][p].indices, got[1][p].indices) << "producer " << p;
    EXPECT_EQ(got[0][p].distances, got[1][p].distances) << "producer " << p;
  }
}

}  // namespace
