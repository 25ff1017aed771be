// The candidates of one round of local joins: for each point, a bounded sample of the points
// linked to it in the working lists, split by whether the link is fresh (not yet joined) or old.
//
// A link is an entry q in row p of the lists; it makes q a candidate of p and p a candidate of q
// (its reverse neighbour). Each link draws a priority from a hash of the round seed and the pair,
// and each point keeps the `width` candidates of smallest priority on each side: a uniform sample
// that depends on the lists and the seed only, not on the number of workers or their schedule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orlim/base/types.hpp"
#include "orlim/search/neighbor_lists.hpp"

namespace orlim {

struct JoinCandidates {
  // One side (fresh or old) of every point's candidates.
  struct Side {
    std::vector<PointId> ids;           // n * width; the first counts[p] of row p are in use
    std::vector<std::uint32_t> prio;    // their priorities
    std::vector<std::uint32_t> counts;  // n entries, each at most width
  };

  JoinCandidates(std::size_t n, std::size_t width);

  std::span<const PointId> fresh_of(std::size_t p) const { return row(fresh, p); }
  std::span<const PointId> old_of(std::size_t p) const { return row(old, p); }

  std::size_t n;
  std::size_t width;
  Side fresh;
  Side old;

 private:
  std::span<const PointId> row(const Side& side, std::size_t p) const {
    return {side.ids.data() + p * width, side.counts[p]};
  }
};

// Fills `out` from the links of `lists` (padding slots are no links) with priorities drawn from
// `seed`; each candidate appears at most once per side of a point, and never the point itself.
// Runs in parallel on the current pool.
void sample_join_candidates(const NeighborLists& lists, std::uint64_t seed, JoinCandidates& out);

// Clears the fresh flag of every entry q of row p that was sampled as a fresh candidate of p:
// the coming join measures it against the rest, and later rounds treat it as old. Fresh entries
// left out of the sample stay fresh for a later round.
void retire_sampled(NeighborLists& lists, const JoinCandidates& cands);

}  // namespace orlim
