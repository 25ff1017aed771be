// The candidates of one round of local joins: for each point, a bounded sample of the points
// linked to it in the working lists, split by whether the link is fresh (not yet joined) or old.
//
// A link is an entry q in row p of the lists; it makes q a candidate of p and p a candidate of q
// (its reverse neighbour). Each link draws a priority from a hash of the round seed and the pair,
// and each point keeps the `width` candidates of smallest (priority, id) on each side: a uniform
// sample that depends on the lists and the seed only, not on the number of workers or their
// schedule.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "orlim/base/types.hpp"
#include "orlim/search/neighbor_lists.hpp"

namespace orlim {

// One side of one point's sampled candidates: ids in the low halves of (priority, id) keys.
struct CandidateRow {
  std::size_t size() const { return count; }
  PointId operator[](std::size_t i) const { return static_cast<PointId>(keys[i]); }
  bool contains(PointId id) const;

  const std::uint64_t* keys;
  std::size_t count;
};

struct JoinCandidates {
  JoinCandidates(std::size_t n, std::size_t width);

  CandidateRow fresh_of(std::size_t p) const { return row(p, 0); }
  CandidateRow old_of(std::size_t p) const { return row(p, 1); }

  // Words per side of a row: a header (the count, and above it the slot last in sample order),
  // then `width` keys.
  std::size_t side_words() const { return width + 1; }

  std::size_t n;
  std::size_t width;
  // Per point, its fresh side then its old side: an offer touches one or two cache lines.
  std::vector<std::uint64_t> rows;
  std::unique_ptr<std::atomic<std::uint8_t>[]> locks;  // 1 while a worker updates point p's row

 private:
  CandidateRow row(std::size_t p, std::size_t side) const {
    const std::uint64_t* words = rows.data() + (2 * p + side) * side_words();
    return {words + 1, static_cast<std::uint32_t>(words[0])};
  }
};

// Fills `out` from the links of `lists` (padding slots are no links) with priorities drawn from
// `seed`; each candidate appears at most once per side of a point, and never the point itself.
// A point without fresh candidates gets no old ones either (a join would not read them). Runs in
// parallel on the current pool.
void sample_join_candidates(const NeighborLists& lists, std::uint64_t seed, JoinCandidates& out);

// Clears the fresh flag of every entry q of row p that was sampled as a fresh candidate of p:
// the coming join measures it against the rest, and later rounds treat it as old. Fresh entries
// left out of the sample stay fresh for a later round.
void retire_sampled(NeighborLists& lists, const JoinCandidates& cands);

}  // namespace orlim
