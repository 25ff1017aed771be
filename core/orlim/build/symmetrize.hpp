// The last steps of a build: the entry point, and the pruned one-way lists turned into bounded
// two-way lists.
//
// Both read the Dataset and the pruned rows without writing them. symmetrize_flat runs its
// per-node step in parallel on the current pool; its result does not depend on the number of
// workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "orlim/data/dataset.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Adds every reverse edge to the n pruned rows of width r (`rows` holds n * r slots, `degrees` n
// entries, each at most r, ids below n; else Failure) and returns rows of the same width in which
// no node lists itself or an id twice. A node with at most r distinct neighbours keeps them all;
// one with more keeps the r nearest by squared distance, ties by smaller id. Each row is written
// in ascending id order. n must not exceed data.n.
FlatAdjacency symmetrize_flat(const Dataset& data, std::span<const PointId> rows,
                              std::span<const std::uint32_t> degrees, std::size_t n, std::size_t r);

// The point nearest (strictly, smallest id on ties) to the float32 centroid of the data set;
// 0 when the data set is empty or no distance is a number.
PointId approx_medoid(const Dataset& data);

}  // namespace orlim
