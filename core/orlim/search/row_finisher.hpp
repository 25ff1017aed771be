// Distinct neighbour rows from approximate ones: what the index's tables and the refinement's
// tables both hand out, including the cosine convention for zero vectors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "orlim/base/types.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/kernels/distance.hpp"

namespace orlim {

// Squared distance of a zero vector to anything under the cosine metric: reported as 1, the
// cosine distance scikit-learn gives it (s / 2 = 1 - cos for unit vectors).
inline constexpr float kZeroCosineSq = 2.0f;
// Extra search width for indexes holding cosine zero rows; bounds the search cost when many rows
// are zero.
inline constexpr std::size_t kZeroRowMargin = 32;

inline std::size_t count_zero_rows(const Dataset& data) {
  if (data.metric != Metric::Cosine) return 0;
  return static_cast<std::size_t>(std::count(data.norms.begin(), data.norms.end(), 0.0f));
}

// Turns one row of search results into k distinct neighbours of `query`, nearest first by
// (distance, id): the found ids are rescored (zero vectors at cosine distance 1), duplicates and
// `skip` dropped. The row is answered exactly when fewer than k distinct ids remain, or when zero
// rows took places that nearer points may have been denied (fewer than k others were found).
struct RowFinisher {
  const Dataset& data;
  std::size_t k;

  float key(const float* query, bool query_zero, PointId id) const {
    if (data.metric == Metric::Cosine && (query_zero || data.norms[id] == 0.0f)) {
      return kZeroCosineSq;
    }
    return sq_l2(query, data.row(id), data.d);
  }

  void finish(const float* query, bool query_zero, std::span<const PointId> found, PointId skip,
              std::vector<Neighbor>& scored, PointId* ids, float* dists) const {
    scored.clear();
    for (const PointId id : found) {
      if (id != skip) scored.push_back(Neighbor{id, key(query, query_zero, id)});
    }
    std::sort(scored.begin(), scored.end(), closer);
    scored.erase(std::unique(scored.begin(), scored.end(),
                             [](const Neighbor& a, const Neighbor& b) { return a.id == b.id; }),
                 scored.end());
    std::size_t zero_rows = 0;
    if (data.metric == Metric::Cosine && !query_zero) {
      for (const Neighbor& e : scored) zero_rows += data.norms[e.id] == 0.0f ? 1 : 0;
    }
    if (scored.size() < k || (zero_rows > 0 && scored.size() - zero_rows < k)) {
      scored.clear();
      for (std::size_t j = 0; j < data.n; ++j) {
        const auto id = static_cast<PointId>(j);
        if (id != skip) scored.push_back(Neighbor{id, key(query, query_zero, id)});
      }
      const auto kth = scored.begin() + static_cast<std::ptrdiff_t>(k);
      std::partial_sort(scored.begin(), kth, scored.end(), closer);
    }
    for (std::size_t p = 0; p < k; ++p) {
      ids[p] = scored[p].id;
      dists[p] = reported_distance(scored[p].dist, data.metric);
    }
  }
};

}  // namespace orlim
