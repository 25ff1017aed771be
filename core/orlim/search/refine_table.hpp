// The refinement's self-kNN as the package hands it out: k distinct other points per row, exact
// on small data sets, zero vectors at cosine distance 1 as everywhere else in the package.
#pragma once

#include <cstddef>

#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/data/knn_result.hpp"
#include "orlim/search/refine.hpp"

namespace orlim {

// Up to this many points the table is exact (brute force), whatever the partition settings.
inline constexpr std::size_t kRefineExactRows = 2048;

// n x k table (stride k) of the k nearest other points of each row by (distance, id), distances
// as reported_distance(); exact duplicates of a point count as other points. Needs 1 <= k < n.
// Reproducibility as knn_self_refine.
SelfKnn knn_self_refine_distinct(const Dataset& data, const BuildParams& build,
                                 const RefineParams& refine, std::size_t k);

}  // namespace orlim
