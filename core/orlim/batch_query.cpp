#include "orlim/batch_query.hpp"

#include <algorithm>
#include <cmath>

#include "orlim/distance.hpp"
#include "orlim/failure.hpp"
#include "orlim/parallel.hpp"
#include "orlim/search/beam_search.hpp"

namespace orlim {

namespace {

// A task builds an O(n) Scratch once, so tasks should cover many rows.
constexpr std::size_t kRowsPerTask = 64;
constexpr std::size_t kMaxSeedPool = 2048;
constexpr std::size_t kMaxSeedsPerQuery = 16;
// Retained candidates whose graph neighbourhoods the reservoir mode adds.
constexpr std::size_t kExpandedCandidates = 6;

void check_retained(const RetainedCands& retained, std::size_t n) {
  if (retained.empty()) return;
  if (retained.counts.size() != n ||
      retained.slots.size() != checked_mul(n, retained.width, "retained candidates")) {
    fail("retained candidates must hold one list per base point");
  }
}

// (distance to `query`, id) for every id, four distances at a time.
void score_ids(const Dataset& data, const float* query, std::span<const PointId> ids,
               std::vector<Neighbor>& out) {
  out.resize(ids.size());
  const SqL2x4Fn dist_x4 = sq_l2_x4_kernel();
  std::size_t i = 0;
  for (; i + 4 <= ids.size(); i += 4) {
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

SelfKnn knn_query(const Dataset& data, const Graph& graph, std::span<const float> queries,
                  std::size_t n_q, std::size_t k, std::size_t beam_l) {
  const std::size_t n = data.n;
  if (k == 0) fail("k-NN queries need k >= 1");
  if (queries.size() != checked_mul(n_q, data.d, "query matrix")) {
    fail("query matrix length must equal n_q*d");
  }
  const std::size_t stride = query_knn_stride(n, k);
  const std::size_t beam_width = std::max(beam_l, stride);
  const SeedPool seeds = make_seed_pool(n, beam_width);
  SelfKnn out = make_self_knn(n_q, stride);
  parallel_for_blocks(n_q, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    Scratch scratch(n);
    std::vector<Neighbor> scored;
    scored.reserve(seeds.ids.size());
    std::vector<PointId> starts;
    starts.reserve(seeds.per_query);
    std::vector<Neighbor> found;
    for (std::size_t q = lo; q < hi; ++q) {
      const std::span<const float> query = queries.subspan(q * data.d, data.d);
      score_ids(data, query.data(), seeds.ids, scored);
      if (seeds.per_query < scored.size()) {
        std::nth_element(scored.begin(),
                         scored.begin() + static_cast<std::ptrdiff_t>(seeds.per_query),
                         scored.end(), closer);
        scored.resize(seeds.per_query);
      }
      starts.clear();
      for (const Neighbor& s : scored) starts.push_back(s.id);
      beam_search(data, graph, starts, query, beam_width, scratch, found);
      write_query_row(found, graph.entry, data.metric, stride, out.indices.data() + q * stride,
                      out.distances.data() + q * stride);
    }
  });
  return out;
}

SelfKnn knn_self_graph(const Dataset& data, const Graph& graph, const RetainedCands* retained,
                       std::size_t k, std::size_t beam_l) {
  const std::size_t n = data.n;
  if (retained != nullptr && retained->empty()) retained = nullptr;
  if (retained != nullptr) check_retained(*retained, n);
  const std::size_t stride = self_knn_stride(n, k);
  const std::size_t beam_width = std::max(beam_l, stride);
  SelfKnn out = make_self_knn(n, stride);
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    Scratch scratch(n);
    std::vector<PointId> starts;
    starts.reserve(64);
    std::vector<Neighbor> found;
    for (std::size_t i = lo; i < hi; ++i) {
      const auto self = static_cast<PointId>(i);
      starts.assign(1, self);
      if (retained != nullptr) {
        for (const Neighbor& c : retained->of(i)) starts.push_back(c.id);
      }
      beam_search(data, graph, starts, {data.row(i), data.d}, beam_width, scratch, found);
      write_self_row(found, self, data.metric, stride, out.indices.data() + i * stride,
                     out.distances.data() + i * stride);
    }
  });
  return out;
}

SelfKnn knn_self_reservoir(const Dataset& data, const Graph& graph, const RetainedCands& retained,
                           std::size_t k) {
  const std::size_t n = data.n;
  check_retained(retained, n);
  if (graph.n() != n) fail("graph and data set differ in size");
  const std::size_t stride = self_knn_stride(n, k);
  SelfKnn out = make_self_knn(n, stride);
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<PointId> ids;
    ids.reserve(64);
    std::vector<Neighbor> scored;
    for (std::size_t i = lo; i < hi; ++i) {
      const auto self = static_cast<PointId>(i);
      const std::span<const Neighbor> cands =
          retained.empty() ? std::span<const Neighbor>{} : retained.of(i);
      ids.clear();
      for (const Neighbor& c : cands) ids.push_back(c.id);
      const auto own = graph.neighbors_of(i);
      ids.insert(ids.end(), own.begin(), own.end());
      for (std::size_t j = 0; j < std::min(cands.size(), kExpandedCandidates); ++j) {
        if (cands[j].id >= n) fail("retained candidate id is not below n");
        const auto theirs = graph.neighbors_of(cands[j].id);
        ids.insert(ids.end(), theirs.begin(), theirs.end());
      }
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
      if (!ids.empty() && ids.back() >= n) fail("candidate id is not below n");
      ids.erase(std::remove(ids.begin(), ids.end(), self), ids.end());
      score_ids(data, data.row(i), ids, scored);
      // Only stride - 1 slots follow the self slot; when n <= k that is every candidate.
      const std::size_t keep = std::min(scored.size(), stride - 1);
      if (keep < scored.size()) {
        std::nth_element(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(keep),
                         scored.end(), closer);
        scored.resize(keep);
      }
      // (distance, id): equal distances stay in ascending id order.
      std::sort(scored.begin(), scored.end(), closer);
      write_self_row(scored, self, data.metric, stride, out.indices.data() + i * stride,
                     out.distances.data() + i * stride);
    }
  });
  return out;
}

}  // namespace orlim
