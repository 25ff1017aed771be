#include "orlim/index/graph_index.hpp"

#include <algorithm>
#include <utility>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/build/driver.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/search/batch_knn.hpp"
#include "orlim/search/bruteforce.hpp"
#include "orlim/search/row_finisher.hpp"

namespace orlim {

namespace {

constexpr std::size_t kRowsPerTask = 64;

}  // namespace

GraphIndex::GraphIndex(std::vector<float> values, Dataset data, const BuildParams& params)
    : owned_values_(std::move(values)), data_(std::move(data)), params_(params) {
  params_.metric = data_.metric;
  zero_rows_ = count_zero_rows(data_);
}

GraphIndex GraphIndex::build(Dataset data, const BuildParams& params, std::size_t retain) {
  BuiltIndex built = build_index_with_cands(data, params, retain);
  GraphIndex index({}, std::move(data), params);
  index.owned_graph_ = std::move(built.graph);
  index.graph_ = index.owned_graph_;
  index.retained_ = std::move(built.retained);
  return index;
}

GraphIndex GraphIndex::build(std::vector<float> values, std::size_t n, std::size_t d,
                             const BuildParams& params) {
  // A vector's buffer survives the move into the index, so the Dataset may borrow it already.
  Dataset data(values, n, d, params.metric);
  // Cosine keeps only the Dataset's normalized copy.
  if (params.metric != Metric::Euclidean) std::vector<float>().swap(values);
  BuiltIndex built = build_index_with_cands(data, params, 0);
  GraphIndex index(std::move(values), std::move(data), params);
  index.owned_graph_ = std::move(built.graph);
  index.graph_ = index.owned_graph_;
  return index;
}

GraphIndex GraphIndex::borrow(std::span<const float> stored, std::size_t n, std::size_t d,
                              const BuildParams& params, GraphView graph) {
  const std::string error = graph_view_error(graph, n);
  if (!error.empty()) fail(error);
  GraphIndex index({}, Dataset::stored(stored, n, d, params.metric), params);
  index.graph_ = graph;
  return index;
}

SelfKnn GraphIndex::query(std::span<const float> queries, std::size_t n_q,
                          const SearchParams& search) const {
  return knn_query(data_, graph_, queries, n_q, search.k, search.beam_l);
}

SelfKnn GraphIndex::query_distinct(std::span<const float> queries, std::size_t n_q, std::size_t k,
                                   std::size_t beam_l) const {
  if (k == 0 || k > data_.n) fail("distinct k-NN queries need 1 <= k <= n");
  if (queries.size() != checked_mul(n_q, data_.d, "query matrix")) {
    fail("query matrix length must equal n_q*d");
  }
  std::vector<float> normalized;
  if (data_.metric == Metric::Cosine) {
    normalized.assign(queries.begin(), queries.end());
    normalize_rows(normalized, data_.d);
    queries = normalized;
  }
  // Zero rows rank as distance 1/2 in the search but are reported at 1, so each could push a
  // true neighbour out of the row: search a few more, and rows still short are answered exactly.
  const std::size_t width = std::min(data_.n, k + std::min(zero_rows_, kZeroRowMargin));
  const SelfKnn found = knn_query(data_, graph_, queries, n_q, width, beam_l);
  SelfKnn out = make_knn_result(n_q, k);
  const RowFinisher finisher{data_, k};
  const bool cosine = data_.metric == Metric::Cosine;
  parallel_for_blocks(n_q, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<Neighbor> scored;
    for (std::size_t q = lo; q < hi; ++q) {
      const float* row = queries.data() + q * data_.d;
      const bool zero = cosine && sq_norm(row, data_.d) == 0.0f;
      finisher.finish(row, zero, {found.indices.data() + q * found.stride, found.stride},
                      kNoPoint, scored, out.indices.data() + q * k, out.distances.data() + q * k);
    }
  });
  return out;
}

SelfKnn GraphIndex::self_knn(const SearchParams& search) const {
  switch (search.mode) {
    case QueryMode::Warm:
      return knn_self_graph(data_, graph_, &retained_, search.k, search.beam_l);
    case QueryMode::Reservoir:
      return knn_self_reservoir(data_, graph_, retained_, search.k);
    case QueryMode::Beam:
      break;
  }
  return knn_self_graph(data_, graph_, nullptr, search.k, search.beam_l);
}

SelfKnn GraphIndex::self_knn_distinct(std::size_t k, std::size_t beam_l) const {
  const std::size_t n = data_.n;
  if (k == 0 || k >= n) fail("distinct self-kNN needs 1 <= k < n");
  // Rows list the point itself first; see query_distinct for the zero rows. Small data sets are
  // answered exactly, as the one-shot self-kNN answers them.
  const std::size_t width = std::min(n, k + 1 + std::min(zero_rows_, kZeroRowMargin));
  const SelfKnn found = n <= std::min(params_.c_max, kBruteForceRows)
                            ? knn_self_bruteforce(data_, width - 1)
                            : knn_self_graph(data_, graph_, nullptr, width - 1, beam_l);
  SelfKnn out = make_knn_result(n, k);
  const RowFinisher finisher{data_, k};
  const bool cosine = data_.metric == Metric::Cosine;
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<Neighbor> scored;
    for (std::size_t i = lo; i < hi; ++i) {
      const bool zero = cosine && data_.norms[i] == 0.0f;
      finisher.finish(data_.row(i), zero, {found.indices.data() + i * found.stride, found.stride},
                      static_cast<PointId>(i), scored, out.indices.data() + i * k,
                      out.distances.data() + i * k);
    }
  });
  return out;
}

std::size_t GraphIndex::nbytes() const {
  std::size_t total = data_.data.size() * sizeof(float) + data_.norms.size() * sizeof(float);
  total += graph_.offsets.size() * sizeof(std::size_t) + graph_.neighbors.size() * sizeof(PointId);
  total += retained_.slots.size() * sizeof(Neighbor);
  total += retained_.counts.size() * sizeof(std::uint32_t);
  return total;
}

}  // namespace orlim
