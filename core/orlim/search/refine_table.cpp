#include "orlim/search/refine_table.hpp"

#include <algorithm>
#include <vector>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/search/bruteforce.hpp"
#include "orlim/search/row_finisher.hpp"

namespace orlim {

SelfKnn knn_self_refine_distinct(const Dataset& data, const BuildParams& build,
                                 const RefineParams& refine, std::size_t k) {
  const std::size_t n = data.n;
  if (k == 0 || k >= n) fail("distinct self-kNN needs 1 <= k < n");
  // Zero rows (cosine) rank at distance 1/2 in the lists but are reported at 1, so each could
  // keep a true neighbour out: rows carry a few spare entries, as the index's searches do.
  const std::size_t zero_rows = count_zero_rows(data);
  const std::size_t others = std::min(n - 1, k + std::min(zero_rows, kZeroRowMargin));
  const bool exact = n <= kRefineExactRows;
  const SelfKnn found = exact ? knn_self_bruteforce(data, others)
                              : knn_self_refine(data, build, refine, others);
  SelfKnn out = make_knn_result(n, k);
  if (!exact && zero_rows == 0) {
    // The point itself, then distinct others with exact distances in (distance, id) order.
    parallel_for_blocks(n, 256, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) {
        std::copy_n(found.indices.data() + i * found.stride + 1, k, out.indices.data() + i * k);
        std::copy_n(found.distances.data() + i * found.stride + 1, k,
                    out.distances.data() + i * k);
      }
    });
    return out;
  }
  // The exact rows may list duplicates of a point before the point itself; zero rows need
  // rescoring. Either way the finisher drops the point and ranks the rest.
  const RowFinisher finisher{data, k};
  parallel_for_blocks(n, 64, [&](std::size_t lo, std::size_t hi) {
    std::vector<Neighbor> scored;
    for (std::size_t i = lo; i < hi; ++i) {
      finisher.finish(data.row(i), data.norms[i] == 0.0f,
                      {found.indices.data() + i * found.stride, found.stride},
                      static_cast<PointId>(i), scored, out.indices.data() + i * k,
                      out.distances.data() + i * k);
    }
  });
  return out;
}

}  // namespace orlim
