#include "orlim/search/batch_knn.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/kernels/gemm.hpp"
#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/search/beam_search.hpp"

namespace orlim {

namespace {

// A task builds an O(n) Scratch once, so tasks should cover many rows.
constexpr std::size_t kRowsPerTask = 64;
constexpr std::size_t kMaxSeedPool = 2048;
constexpr std::size_t kMaxSeedsPerQuery = 16;
// Seed pools at least this large are screened with one product per block of queries.
constexpr std::size_t kScreenedPoolMin = 64;
// Retained candidates whose graph neighbourhoods the reservoir mode adds.
constexpr std::size_t kExpandedCandidates = 6;
// A locality pass over the graph costs about as much as this many queries gain from it.
constexpr std::size_t kQueriesPerLocalityPass = 16;
// Vectors requested ahead of their distance computation when scoring a list of ids.
constexpr std::size_t kPrefetchAhead = 8;

void check_retained(const RetainedCands& retained, std::size_t n) {
  if (retained.empty()) return;
  if (retained.counts.size() != n ||
      retained.slots.size() != checked_mul(n, retained.width, "retained candidates")) {
    fail("retained candidates must hold one list per base point");
  }
}

// (distance to `query`, id) for every id, four distances at a time, with the vectors requested
// kPrefetchAhead ids ahead of their use.
void score_ids(const Dataset& data, const float* query, std::span<const PointId> ids,
               std::vector<Neighbor>& out) {
  out.resize(ids.size());
  const SqL2x4Fn dist_x4 = sq_l2_x4_kernel();
  const std::size_t row_bytes = data.d * sizeof(float);
  auto prefetch = [&](std::size_t j) {
    if (j >= ids.size()) return;
    const char* p = reinterpret_cast<const char*>(data.row(ids[j]));
    for (std::size_t off = 0; off < row_bytes; off += 64) __builtin_prefetch(p + off, 0, 3);
  };
  for (std::size_t j = 0; j < kPrefetchAhead; ++j) prefetch(j);
  std::size_t i = 0;
  for (; i + 4 <= ids.size(); i += 4) {
    for (std::size_t j = i + kPrefetchAhead; j < i + kPrefetchAhead + 4; ++j) prefetch(j);
    const float* rows[4] = {data.row(ids[i]), data.row(ids[i + 1]), data.row(ids[i + 2]),
                            data.row(ids[i + 3])};
    float dist[4];
    dist_x4(query, rows, data.d, dist);
    for (std::size_t j = 0; j < 4; ++j) out[i + j] = Neighbor{ids[i + j], dist[j]};
  }
  for (; i < ids.size(); ++i) out[i] = Neighbor{ids[i], sq_l2(query, data.row(ids[i]), data.d)};
}

// Writes `found` to a query row of `stride` slots: cut to stride, or padded by repeating the
// last entry; a search that found nothing reports the graph's entry at distance 0.
void write_query_row(std::span<const Neighbor> found, PointId entry, Metric metric,
                     std::size_t stride, PointId* ids, float* dists) {
  const Neighbor none{entry, 0.0f};
  for (std::size_t p = 0; p < stride; ++p) {
    const Neighbor& e = p < found.size() ? found[p] : (found.empty() ? none : found.back());
    ids[p] = e.id;
    dists[p] = reported_distance(e.dist, metric);
  }
}

// Writes a self-kNN row: i first (with its own distance when the search found it), then the
// other entries of `found` in order, then (i, 0) in every slot left.
void write_self_row(std::span<const Neighbor> found, PointId i, Metric metric, std::size_t stride,
                    PointId* ids, float* dists) {
  float self_dist = 0.0f;
  for (const Neighbor& e : found) {
    if (e.id == i) {
      self_dist = e.dist;
      break;
    }
  }
  ids[0] = i;
  dists[0] = reported_distance(self_dist, metric);
  std::size_t p = 1;
  for (std::size_t j = 0; j < found.size() && p < stride; ++j) {
    if (found[j].id == i) continue;
    ids[p] = found[j].id;
    dists[p] = reported_distance(found[j].dist, metric);
    ++p;
  }
  for (; p < stride; ++p) {
    ids[p] = i;
    dists[p] = 0.0f;
  }
}

// All nodes, breadth first from the entry (then from each node not reached yet, in id order).
// Consecutive nodes of this order are graph neighbours or close to them, so searches run in
// this order find most of their vectors still in cache. Results never depend on the order.
std::vector<PointId> locality_order(GraphView graph) {
  const std::size_t n = graph.n();
  std::vector<PointId> order;
  order.reserve(n);
  std::vector<std::uint8_t> queued(n, 0);
  auto visit_from = [&](PointId root) {
    if (queued[root]) return;
    queued[root] = 1;
    std::size_t head = order.size();
    order.push_back(root);
    for (; head < order.size(); ++head) {
      for (const PointId w : graph.neighbors_of(order[head])) {
        if (w >= n) fail("graph neighbour id is not below n");
        if (!queued[w]) {
          queued[w] = 1;
          order.push_back(w);
        }
      }
    }
  };
  if (n > 0) visit_from(graph.entry < n ? graph.entry : 0);
  for (std::size_t v = 0; v < n; ++v) visit_from(static_cast<PointId>(v));
  return order;
}

// The seed vectors copied side by side: every query reads all of them, and a contiguous block
// streams from memory where rows a stride apart would each cost a page walk.
std::vector<float> gather_rows(const Dataset& data, std::span<const PointId> ids) {
  std::vector<float> rows(checked_mul(ids.size(), data.d, "seed vectors"));
  for (std::size_t j = 0; j < ids.size(); ++j) {
    std::copy(data.row(ids[j]), data.row(ids[j]) + data.d, rows.data() + j * data.d);
  }
  return rows;
}

// Offers c to `best`, the m nearest so far by (distance, id), nearest first. A full list rejects
// most offers with a single comparison against its last entry.
void keep_nearest(std::vector<Neighbor>& best, std::size_t m, Neighbor c) {
  if (best.size() == m && !closer(c, best.back())) return;
  if (best.size() == m) best.pop_back();
  auto pos = best.end();
  while (pos != best.begin() && closer(c, *(pos - 1))) --pos;
  best.insert(pos, c);
}

// Writes to `out` the ids of the `m` seeds nearest to `query` by (distance, id), nearest first.
// `best` is the caller's working list.
void nearest_seeds(const Dataset& data, const float* query, std::span<const PointId> ids,
                   std::span<const float> rows, std::size_t m, std::vector<Neighbor>& best,
                   PointId* out) {
  best.clear();
  const SqL2x4Fn dist_x4 = sq_l2_x4_kernel();
  const std::size_t d = data.d;
  std::size_t j = 0;
  for (; j + 4 <= ids.size(); j += 4) {
    const float* four[4] = {&rows[j * d], &rows[(j + 1) * d], &rows[(j + 2) * d],
                            &rows[(j + 3) * d]};
    float dist[4];
    dist_x4(query, four, d, dist);
    for (std::size_t r = 0; r < 4; ++r) keep_nearest(best, m, Neighbor{ids[j + r], dist[r]});
  }
  for (; j < ids.size(); ++j)
    keep_nearest(best, m, Neighbor{ids[j], sq_l2(query, &rows[j * d], d)});
  for (std::size_t r = 0; r < m; ++r) out[r] = best[r].id;
}

// Per-task state of the screened seed selection, sized once for a block of queries.
struct SeedScreen {
  std::vector<float> moved;  // block rows x d: the queries moved by the pool's mean
  std::vector<float> dots;   // block rows x pool: moved query . moved seed
  std::vector<float> low;    // per seed of the current query: lower bound on its sq_l2
  std::vector<float> high;   // upper bound
  std::vector<float> highs;  // the m smallest upper bounds, ascending
};

// The same m seeds as nearest_seeds, in the same order, without the exact distance of every
// seed: one product per block of queries gives each seed's distance up to a rounding bound, and
// a seed whose lower bound exceeds the m-th smallest upper bound has m seeds strictly nearer, so
// it can be in neither selection. Only the others are measured exactly and offered, in seed
// order, to the same bounded list. The product works on the query and the pool moved by the
// pool's mean (`moved`, and `seed_norms` the moved seeds' squared norms): distances are the same,
// but the bound scales with the norms, and with the points as stored it would keep every seed of
// data far from the origin. `dots` is the moved query's row of products with the moved pool. A
// bound that is not a number keeps the seed in.
void nearest_seeds_screened(const float* query, const float* moved, std::span<const PointId> ids,
                            std::span<const float> rows, std::span<const float> seed_norms,
                            const float* dots, std::size_t d, std::size_t m,
                            std::vector<Neighbor>& best, SeedScreen& screen, PointId* out) {
  const std::size_t pool = ids.size();
  const float qn = sq_norm(moved, d);
  // The margin is twice the error of the product and the norms, which leaves room for the few
  // roundings of the bounds themselves. Products of values near the bottom of the float range
  // lose absolute, not relative, accuracy: `floor` covers them.
  const float margin = product_margin(d);
  const float floor = 4.0f * static_cast<float>(d + 1) * FLT_MIN;
  screen.low.resize(pool);
  screen.high.resize(pool);
  float* low = screen.low.data();
  float* high = screen.high.data();
  const float* norms = seed_norms.data();
  for (std::size_t j = 0; j < pool; ++j) {
    const float sum = qn + norms[j];
    const float approx = sum - (dots[j] + dots[j]);
    const float err = margin * sum + floor;
    low[j] = approx - err;
    high[j] = approx + err;
  }
  // The m-th smallest upper bound; a NaN bound never enters, which can only raise the cut.
  auto& highs = screen.highs;
  highs.clear();
  for (std::size_t j = 0; j < pool; ++j) {
    const float h = high[j];
    if (highs.size() == m) {
      if (!(h < highs.back())) continue;
      highs.pop_back();
    } else if (std::isnan(h)) {
      continue;
    }
    auto pos = highs.end();
    while (pos != highs.begin() && h < *(pos - 1)) --pos;
    highs.insert(pos, h);
  }
  const float cut = highs.size() == m ? highs.back() : std::numeric_limits<float>::infinity();

  best.clear();
  for (std::size_t j = 0; j < pool; ++j) {
    if (low[j] > cut) continue;  // a NaN bound stays in
    keep_nearest(best, m, Neighbor{ids[j], sq_l2(query, &rows[j * d], d)});
  }
  for (std::size_t r = 0; r < m; ++r) out[r] = best[r].id;
}

// The order in which to search the queries: grouped by nearest seed, so that queries starting in
// the same region reuse each other's cached vectors. When the batch is large enough to repay a
// pass over the graph, the groups themselves follow the graph's locality order, so that nearby
// regions come one after the other too. `starts` holds each query's seeds, nearest first.
std::vector<std::size_t> query_order(GraphView graph, std::span<const PointId> starts,
                                     std::size_t m, std::size_t n_q) {
  std::vector<PointId> key(n_q);
  for (std::size_t q = 0; q < n_q; ++q) key[q] = starts[q * m];
  if (n_q * kQueriesPerLocalityPass >= graph.n()) {
    const std::vector<PointId> nodes = locality_order(graph);
    std::vector<PointId> rank(nodes.size());
    for (std::size_t r = 0; r < nodes.size(); ++r) rank[nodes[r]] = static_cast<PointId>(r);
    for (PointId& k : key) k = rank[k];
  }
  std::vector<std::size_t> order(n_q);
  for (std::size_t q = 0; q < n_q; ++q) order[q] = q;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return key[a] != key[b] ? key[a] < key[b] : a < b;
  });
  return order;
}

}  // namespace

SeedPool make_seed_pool(std::size_t n, std::size_t beam_width) {
  if (n == 0) fail("the seed pool needs at least one base point");
  const auto sqrt_rule = static_cast<std::size_t>(4.0 * std::sqrt(static_cast<double>(n)));
  const std::size_t size = std::min({std::max(sqrt_rule, beam_width), n, kMaxSeedPool});
  const std::size_t step = std::max<std::size_t>(n / size, 1);
  SeedPool pool;
  pool.ids.reserve((n + step - 1) / step);
  for (std::size_t id = 0; id < n; id += step) pool.ids.push_back(static_cast<PointId>(id));
  pool.per_query = std::min(pool.ids.size(), kMaxSeedsPerQuery);
  return pool;
}

void check_query_k(std::size_t k) {
  if (k == 0) fail("k-NN queries need k >= 1");
}

SelfKnn knn_query(const Dataset& data, GraphView graph, std::span<const float> queries,
                  std::size_t n_q, std::size_t k, std::size_t beam_l) {
  const std::size_t n = data.n;
  check_query_k(k);
  if (queries.size() != checked_mul(n_q, data.d, "query matrix")) {
    fail("query matrix length must equal n_q*d");
  }
  if (graph.n() != n) fail("graph and data set differ in size");
  const std::size_t stride = query_knn_stride(n, k);
  const std::size_t beam_width = std::max(beam_l, stride);
  const SeedPool seeds = make_seed_pool(n, beam_width);
  const std::size_t m = seeds.per_query;
  auto query_row = [&](std::size_t q) { return queries.subspan(q * data.d, data.d); };

  // Every query's m nearest seeds first, so that the searches can then run grouped by region.
  const std::vector<float> seed_rows = gather_rows(data, seeds.ids);
  std::vector<PointId> starts(checked_mul(n_q, m, "query starts"));
  const std::size_t pool = seeds.ids.size();
  // Screening pays once the pool is large next to the m seeds kept.
  const bool screened = pool >= kScreenedPoolMin && data.d > 0;
  std::vector<float> moved_seeds;
  std::vector<float> seed_norms;
  std::vector<float> centre;
  if (screened) {
    moved_seeds = seed_rows;
    seed_norms.resize(pool);
    centre.resize(data.d);
    std::vector<double> sums(data.d);
    centre_rows(moved_seeds.data(), pool, data.d, sums.data(), centre.data(), seed_norms.data());
  }
  parallel_for_blocks(n_q, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<Neighbor> best;
    best.reserve(m + 1);
    if (!screened) {
      for (std::size_t q = lo; q < hi; ++q) {
        cancellation_point();
        nearest_seeds(data, query_row(q).data(), seeds.ids, seed_rows, m, best,
                      starts.data() + q * m);
      }
      return;
    }
    SeedScreen screen;
    screen.highs.reserve(m + 1);
    for (std::size_t q0 = lo; q0 < hi; q0 += kRowsPerTask) {
      cancellation_point();
      const std::size_t q1 = std::min(hi, q0 + kRowsPerTask);
      const std::size_t d = data.d;
      screen.moved.resize((q1 - q0) * d);
      for (std::size_t q = q0; q < q1; ++q) {
        const float* from = query_row(q).data();
        float* to = screen.moved.data() + (q - q0) * d;
        for (std::size_t c = 0; c < d; ++c) to[c] = from[c] - centre[c];
      }
      screen.dots.resize((q1 - q0) * pool);
      cross_products(screen.moved.data(), q1 - q0, moved_seeds.data(), pool, d,
                     screen.dots.data());
      for (std::size_t q = q0; q < q1; ++q) {
        nearest_seeds_screened(query_row(q).data(), screen.moved.data() + (q - q0) * d, seeds.ids,
                               seed_rows, seed_norms, screen.dots.data() + (q - q0) * pool, d, m,
                               best, screen, starts.data() + q * m);
      }
    }
  });
  const std::vector<std::size_t> order = query_order(graph, starts, m, n_q);

  SelfKnn out = make_knn_result(n_q, stride);
  parallel_for_blocks(n_q, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    Scratch scratch(n);
    std::vector<Neighbor> found;
    for (std::size_t pos = lo; pos < hi; ++pos) {
      cancellation_point();
      const std::size_t q = order[pos];
      const std::span<const PointId> own(starts.data() + q * m, m);
      beam_search(data, graph, own, query_row(q), beam_width, scratch, found);
      write_query_row(found, graph.entry, data.metric, stride, out.indices.data() + q * stride,
                      out.distances.data() + q * stride);
    }
  });
  return out;
}

SelfKnn knn_self_graph(const Dataset& data, GraphView graph, const RetainedCands* retained,
                       std::size_t k, std::size_t beam_l) {
  const std::size_t n = data.n;
  if (retained != nullptr && retained->empty()) retained = nullptr;
  if (retained != nullptr) check_retained(*retained, n);
  if (graph.n() != n) fail("graph and data set differ in size");
  const std::size_t stride = self_knn_stride(n, k);
  const std::size_t beam_width = std::max(beam_l, stride);
  const std::vector<PointId> order = locality_order(graph);
  SelfKnn out = make_knn_result(n, stride);
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    Scratch scratch(n);
    std::vector<PointId> starts;
    starts.reserve(64);
    std::vector<Neighbor> found;
    for (std::size_t pos = lo; pos < hi; ++pos) {
      cancellation_point();
      const PointId i = order[pos];
      starts.assign(1, i);
      if (retained != nullptr) {
        for (const Neighbor& c : retained->of(i)) starts.push_back(c.id);
      }
      beam_search(data, graph, starts, {data.row(i), data.d}, beam_width, scratch, found);
      write_self_row(found, i, data.metric, stride, out.indices.data() + i * stride,
                     out.distances.data() + i * stride);
    }
  });
  return out;
}

SelfKnn knn_self_reservoir(const Dataset& data, GraphView graph, const RetainedCands& retained,
                           std::size_t k) {
  const std::size_t n = data.n;
  check_retained(retained, n);
  if (graph.n() != n) fail("graph and data set differ in size");
  const std::size_t stride = self_knn_stride(n, k);
  const std::vector<PointId> order = locality_order(graph);
  SelfKnn out = make_knn_result(n, stride);
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    // Marks the ids collected for the current row (and the row itself), cleared after each row:
    // deduplication without sorting the few hundred collected ids.
    std::vector<std::uint8_t> seen(n, 0);
    std::vector<PointId> ids;
    ids.reserve(256);
    std::vector<Neighbor> scored;
    for (std::size_t pos = lo; pos < hi; ++pos) {
      cancellation_point();
      const PointId self = order[pos];
      const std::span<const Neighbor> cands =
          retained.empty() ? std::span<const Neighbor>{} : retained.of(self);
      ids.clear();
      seen[self] = 1;
      auto collect = [&](std::span<const PointId> list) {
        for (const PointId c : list) {
          if (c >= n) fail("candidate id is not below n");
          if (!seen[c]) {
            seen[c] = 1;
            ids.push_back(c);
          }
        }
      };
      for (const Neighbor& c : cands) collect({&c.id, 1});
      collect(graph.neighbors_of(self));
      for (std::size_t j = 0; j < std::min(cands.size(), kExpandedCandidates); ++j) {
        collect(graph.neighbors_of(cands[j].id));
      }
      for (const PointId c : ids) seen[c] = 0;
      seen[self] = 0;

      score_ids(data, data.row(self), ids, scored);
      // Only stride - 1 slots follow the self slot. Ordered by (distance, id), which is the
      // scoring order's stable sort when the candidates are taken in ascending id order.
      const std::size_t keep = std::min(scored.size(), stride - 1);
      std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(keep),
                        scored.end(), closer);
      scored.resize(keep);
      write_self_row(scored, self, data.metric, stride, out.indices.data() + self * stride,
                     out.distances.data() + self * stride);
    }
  });
  return out;
}

}  // namespace orlim
