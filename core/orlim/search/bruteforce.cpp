#include "orlim/search/bruteforce.hpp"

#include <algorithm>
#include <utility>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"

namespace orlim {

namespace {

constexpr std::size_t kRowsPerTask = 8;

// The `keep` smallest (distance, id) pairs of one row, nearest first, ties by smaller id.
// `all` is per-task scratch of n entries.
void select_row(const Dataset& data, std::size_t i, std::size_t keep, SqL2Fn dist,
                std::vector<Neighbor>& all) {
  const float* q = data.row(i);
  for (std::size_t j = 0; j < data.n; ++j) {
    all[j] = Neighbor{static_cast<PointId>(j), dist(q, data.row(j), data.d)};
  }
  if (keep < all.size()) {
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(),
                     closer);
  }
  std::sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), closer);
}

}  // namespace

SelfKnn knn_self_bruteforce(const Dataset& data, std::size_t k) {
  const std::size_t n = data.n;
  const std::size_t stride = self_knn_stride(n, k);
  SelfKnn out = make_knn_result(n, stride);
  const SqL2Fn dist = sq_l2_kernel();
  parallel_for_blocks(n, kRowsPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<Neighbor> all(n);
    for (std::size_t i = lo; i < hi; ++i) {
      cancellation_point();
      select_row(data, i, stride, dist, all);
      // Self to front by a swap (not a rotation): the row's former first entry takes i's place.
      for (std::size_t p = 0; p < stride; ++p) {
        if (all[p].id == static_cast<PointId>(i)) {
          std::swap(all[0], all[p]);
          break;
        }
      }
      PointId* ids = out.indices.data() + i * stride;
      float* dists = out.distances.data() + i * stride;
      for (std::size_t p = 0; p < stride; ++p) {
        ids[p] = all[p].id;
        dists[p] = reported_distance(all[p].dist, data.metric);
      }
    }
  });
  return out;
}

}  // namespace orlim
