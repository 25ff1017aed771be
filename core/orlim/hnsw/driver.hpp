// The HNSW backend as the rest of the system sees it: self-kNN of a Dataset from an HNSW graph
// built over the float vectors or over their SQ8 codes.
//
// Reads the Dataset only; the graph, the quantizer and every task's scratch live for one call.
// Parallel loops run on the current worker pool.
#pragma once

#include <cstddef>

#include "orlim/data/knn_result.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/hnsw/graph.hpp"
#include "orlim/base/types.hpp"

namespace orlim::hnsw {

// sq_l2 between two stored rows, as the graph's distance functor.
struct ExactDistance {
  explicit ExactDistance(const Dataset& data)
      : values(data.data.data()), dim(data.d), kernel(sq_l2_kernel()) {}

  float operator()(PointId a, PointId b) const {
    return kernel(values + a * dim, values + b * dim, dim);
  }
  // The first line only: a search announces a whole list of rows at once, and a prefetch per
  // line of each would queue up behind the few outstanding misses a core can track (measured
  // 20% slower searches at d = 128); the hardware streams the rest of a row once it is read.
  void prefetch(PointId p) const { __builtin_prefetch(values + p * dim); }

  const float* values;
  std::size_t dim;
  SqL2Fn kernel;
};

// Self-kNN (stride min(max(n, 1), k + 1)) from a graph searched with the SQ8 distance when
// params.sq8 is set, with the exact one otherwise. Rows are re-scored with exact distances.
SelfKnn knn_self_hnsw(const Dataset& data, const HnswParams& params, std::size_t k);

// The work of knn_self_hnsw for one distance functor: build over all points, search once per
// point with a beam of max(ef_search, stride), then per row re-score the candidates with sq_l2,
// add the point itself when the search missed it, sort by (exact distance, id) and pad with the
// point itself up to the stride. Distances are reported by the dataset's metric.
template <class Dist>
SelfKnn build_and_search_self(const Dataset& data, const Dist& dist, const HnswParams& params,
                        std::size_t k);

}  // namespace orlim::hnsw
