#include "orlim/hnsw/driver.hpp"

#include <algorithm>
#include <vector>

#include "orlim/hnsw/sq8.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"

namespace orlim::hnsw {

namespace {

constexpr std::size_t kRowsPerTask = 64;

// Orders one row's candidates by exact distance and writes it: the point itself is added when the
// search did not return it, and repeated as padding when the row is short. `row` holds the
// search's pairs; their distances are replaced.
void write_row(const Dataset& data, PointId i, std::vector<Neighbor>& row, SelfKnn& out) {
  const float* q = data.row(i);
  bool has_self = false;
  for (Neighbor& nb : row) {
    nb.dist = sq_l2(q, data.row(nb.id), data.d);
    has_self = has_self || nb.id == i;
  }
  if (!has_self) row.push_back(Neighbor{i, 0.0f});
  std::stable_sort(row.begin(), row.end(), closer);
  const std::size_t stride = out.stride;
  while (row.size() < stride) row.push_back(Neighbor{i, 0.0f});
  PointId* ids = out.indices.data() + i * stride;
  float* dists = out.distances.data() + i * stride;
  for (std::size_t p = 0; p < stride; ++p) {
    ids[p] = row[p].id;
    dists[p] = reported_distance(row[p].dist, data.metric);
  }
}

}  // namespace

template <class Dist>
SelfKnn build_and_search_self(const Dataset& data, const Dist& dist, const HnswParams& params,
                        std::size_t k) {
  const std::size_t n = data.n;
  const std::size_t stride = self_knn_stride(n, k);
  const Hnsw graph = Hnsw::build(n, dist, params);
  const std::size_t ef = std::max(params.ef_search, stride);
  SelfKnn out = make_knn_result(n, stride);
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    TaskScratch scratch(n);
    for (std::size_t i = lo; i < hi; ++i) {
      cancellation_point();
      const auto id = static_cast<PointId>(i);
      std::vector<Neighbor> row = graph.search(dist, id, stride, ef, scratch);
      write_row(data, id, row, out);
    }
  });
  return out;
}

template SelfKnn build_and_search_self<ExactDistance>(const Dataset&, const ExactDistance&,
                                                const HnswParams&, std::size_t);
template SelfKnn build_and_search_self<Sq8Distance>(const Dataset&, const Sq8Distance&, const HnswParams&,
                                              std::size_t);

SelfKnn knn_self_hnsw(const Dataset& data, const HnswParams& params, std::size_t k) {
  if (params.sq8) {
    const Sq8 sq8(data);
    return build_and_search_self(data, Sq8Distance(sq8), params, k);
  }
  return build_and_search_self(data, ExactDistance(data), params, k);
}

}  // namespace orlim::hnsw
