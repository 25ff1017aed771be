// The starting lists of a self-kNN refinement, from the build's partitions: every leaf's distance
// matrix offers each member its nearest leaf-mates, straight into the member's list.
//
// The build routes the same offers through HashPrune reservoirs, whose relative codes, bfloat16
// distances and one-slot-per-code rule serve the pruned graph; a k-NN list needs none of them.
// Once a member's list is full, a later leaf only offers the entries of its row below the list's
// worst distance, found by one pass over the row instead of a selection.
#pragma once

#include <vector>

#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/search/neighbor_lists.hpp"

namespace orlim {

// Fills `lists` (empty, one row per point of `data`) from max(runs, 1) partitions with the build's
// run seeds (only c_max, fanout, runs and seed are read), then measures every entry again with the
// exact sq_l2 and sorts each row by it: the leaf products carry the rounding of their norm
// expansion. Rows stay short of full only when the leaves hold too few distinct leaf-mates. All
// entries come out fresh. Parallel over leaves, then over points, on the current pool; with one
// worker the lists are reproducible for a seed. Fails like the partitioner on c_max = 0.
// When `order` is given it receives every point once, leaf by leaf of the first partition: an
// order in which consecutive points share neighbours, and so the cache lines of their vectors.
void fill_from_leaves(const Dataset& data, const BuildParams& params, NeighborLists& lists,
                      std::vector<PointId>* order = nullptr);

}  // namespace orlim
