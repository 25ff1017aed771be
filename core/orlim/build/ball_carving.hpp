// Randomized recursive ball carving: cuts the points of a Dataset into leaves small enough for an
// exact all-pairs pass each, then lets the leaves overlap (the halo) so that close pairs separated
// by a cut still share a leaf.
//
// The leaves come back flat, as offsets plus members (CSR). Carving only ever splits a contiguous
// run of ids into contiguous sub-runs, in order, so the disjoint leaves are consecutive segments of
// one permuted id array, cut in place; the halo then rebuilds the array once with every leaf's
// overlap members after its carved ones. Reads the Dataset only. Every draw comes from generators
// owned by one partition call and is made on the calling thread, so the leaves depend on the
// data, c_max, fanout and seed only, never on the number of workers; the distance scans of the
// carving and the halo run on the current pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/base/rng.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Leaf l is members[offsets[l], offsets[l + 1]); its members are distinct. `offsets` always starts
// with 0, so an empty Leaves has offsets {0}.
struct Leaves {
  std::vector<std::size_t> offsets{0};
  std::vector<PointId> members;

  std::size_t size() const { return offsets.size() - 1; }
  std::span<const PointId> leaf(std::size_t l) const {
    return {members.data() + offsets[l], offsets[l + 1] - offsets[l]};
  }
};

// Leaves of one run: carving with params.seed ^ kCarvingSeedXor, then, when fanout > 1 and there
// are at least two leaves, the halo. Only c_max, fanout and seed are read. Each carved leaf holds
// at most c_max points; after the halo each point lies in at most max(fanout, 1) leaves. Failure
// when c_max is 0 and the data set is not empty.
Leaves partition(const Dataset& data, const BuildParams& params);

// Cuts the ids not yet in a leaf (members[offsets.back(), members.size())) into leaves appended in
// depth-first order, each of at most c_max ids, drawing leaders and shuffles from `rng`. `depth` is
// 0 for a top-level call; past depth 23 oversized groups are chunked instead of carved again, so
// calls never nest deeper than 24. Members of a carved leaf keep their input order; members of a
// chunked leaf come in shuffled order.
void carve_disjoint(const Dataset& data, std::size_t c_max, std::size_t depth, Rng& rng,
                    Leaves& leaves);

// Adds to each point up to min(L - 1, fanout - 1) further leaves, those whose centroids lie nearest
// to it (among all leaves when L <= 256, else among the leaves of its 3 nearest groups of leaves
// around ceil(sqrt(L)) pivot leaves drawn with seed ^ kHaloPivotSeedXor). A leaf keeps its carved
// members first, then its new members in ascending id order. Precondition: `leaves` is a disjoint
// cover of the n points, L >= 2 and fanout >= 2. `seed` is the run seed.
void add_halo(const Dataset& data, Leaves& leaves, std::size_t fanout, std::uint64_t seed);

// The `count` nearest (distance, leaf) pairs offered so far, nearest first; equal distances keep
// the order in which they were offered. Sorting a list that holds a NaN distance next to another
// entry is a Failure (there is no place for NaN in the order); a NaN offered to a full list is
// simply never kept. Reused across points: reset() keeps the capacity.
class NearestLeaves {
 public:
  explicit NearestLeaves(std::size_t count) : count_(count) { best_.reserve(count); }

  void reset() {
    best_.clear();
    holds_nan_ = false;
  }
  void offer(float dist, PointId leaf) {
    // Most offers lose against a full list: keep that test inline.
    if (best_.size() == count_ && (count_ == 0 || !(dist < best_.back().dist))) return;
    insert(dist, leaf);
  }
  std::span<const Neighbor> best() const { return best_; }

 private:
  void insert(float dist, PointId leaf);

  std::vector<Neighbor> best_;
  std::size_t count_;
  bool holds_nan_ = false;
};

// Offers every candidate leaf but `home`, in candidate order, at sq_l2 distance from `x` to its
// centroid (row c of the row-major `centroids`, d columns). Offering the candidates in several
// calls is the same as one call with their concatenation.
void nearest_centroids(const float* x, std::span<const float> centroids, std::size_t d,
                       PointId home, std::span<const PointId> candidates, NearestLeaves& nearest);

}  // namespace orlim
