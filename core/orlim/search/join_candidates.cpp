#include "orlim/search/join_candidates.hpp"

#include <algorithm>

#include <immintrin.h>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"

namespace orlim {

namespace {

// The splitmix64 finaliser: every bit of the pair and the seed reaches every bit of the priority.
std::uint32_t link_priority(std::uint64_t seed, PointId p, PointId q) {
  std::uint64_t z = seed ^ ((static_cast<std::uint64_t>(p) << 32) | q);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
}

// A candidate's place in the sample order: smaller priority first, equal priorities by id. A total
// order, so each row ends with the same candidates whatever order the offers come in.
std::uint64_t sample_key(std::uint32_t prio, PointId id) {
  return (static_cast<std::uint64_t>(prio) << 32) | id;
}

// Offers candidate c with priority `prio` to one side of a row (its header word, then `width`
// keys): a candidate already there keeps the smaller of its priorities; a full row swaps its last
// candidate in sample order for an earlier one.
void offer(std::uint64_t* words, std::size_t width, PointId c, std::uint32_t prio) {
  std::uint64_t* keys = words + 1;
  std::size_t count = static_cast<std::uint32_t>(words[0]);
  std::size_t last = words[0] >> 32;
  const std::uint64_t key = sample_key(prio, c);
  // A key past the last of a full row cannot enter, and if c is there it already holds a
  // smaller priority.
  if (count == width && key > keys[last]) return;
  std::size_t slot = count;
  for (std::size_t j = 0; j < count; ++j) {
    if (static_cast<PointId>(keys[j]) != c) continue;
    if (key >= keys[j]) return;
    slot = j;
    break;
  }
  if (slot == count) slot = count < width ? count++ : last;
  keys[slot] = key;
  if (count == width) {
    last = 0;
    for (std::size_t j = 1; j < count; ++j) {
      if (keys[j] > keys[last]) last = j;
    }
  }
  words[0] = (static_cast<std::uint64_t>(last) << 32) | count;
}

void lock(std::atomic<std::uint8_t>& flag) {
  while (flag.exchange(1, std::memory_order_acquire) != 0) {
    while (flag.load(std::memory_order_relaxed) != 0) _mm_pause();
  }
}

void unlock(std::atomic<std::uint8_t>& flag) { flag.store(0, std::memory_order_release); }

}  // namespace

bool CandidateRow::contains(PointId id) const {
  for (std::size_t j = 0; j < count; ++j) {
    if (static_cast<PointId>(keys[j]) == id) return true;
  }
  return false;
}

JoinCandidates::JoinCandidates(std::size_t n_points, std::size_t row_width)
    : n(n_points),
      width(row_width),
      rows(checked_mul(checked_mul(2, n_points, "join candidates"), row_width + 1,
                       "join candidates")),
      locks(std::make_unique<std::atomic<std::uint8_t>[]>(n_points)) {}

void sample_join_candidates(const NeighborLists& lists, std::uint64_t seed, JoinCandidates& out) {
  const std::size_t n = lists.size();
  const std::size_t words = out.side_words();
  // Only the headers need clearing: keys past a row's count are never read.
  for (std::size_t h = 0; h < 2 * n; ++h) out.rows[h * words] = 0;
  if (out.width == 0) return;
  // Fresh links first. A join only reads the old side of a point with fresh candidates, so the
  // old links then go to such points only: in late rounds, when few lists still change, that
  // skips most of them.
  for (const std::size_t side : {std::size_t{0}, std::size_t{1}}) {
    const std::uint8_t wanted = side == 0 ? 1 : 0;
    const auto takes = [&](std::size_t t) {
      return side == 0 || static_cast<std::uint32_t>(out.rows[2 * t * words]) != 0;
    };
    parallel_for_blocks(n, 256, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t p = lo; p < hi; ++p) {
        // Each offer lands in a scattered row: ask for the next point's rows one point ahead.
        if (p + 1 < hi) {
          const std::span<const Neighbor> next = lists.row(p + 1);
          const std::span<const std::uint8_t> next_fresh = lists.fresh(p + 1);
          for (std::size_t j = 0; j < next.size(); ++j) {
            if (next[j].id == kNoPoint || next_fresh[j] != wanted) continue;
            __builtin_prefetch(out.rows.data() + (2 * std::size_t{next[j].id} + side) * words, 1);
            __builtin_prefetch(&out.locks[next[j].id], 1);
          }
        }
        const PointId source = static_cast<PointId>(p);
        const bool source_takes = takes(p);
        const std::span<const Neighbor> row = lists.row(p);
        const std::span<const std::uint8_t> fresh = lists.fresh(p);
        for (std::size_t j = 0; j < row.size(); ++j) {
          const PointId q = row[j].id;
          if (q == kNoPoint || q == source || fresh[j] != wanted) continue;
          const std::uint32_t prio = link_priority(seed, source, q);
          // One row locked at a time: no order between the locks to keep.
          if (source_takes) {
            lock(out.locks[source]);
            offer(out.rows.data() + (2 * p + side) * words, out.width, q, prio);
            unlock(out.locks[source]);
          }
          if (takes(q)) {
            lock(out.locks[q]);
            offer(out.rows.data() + (2 * std::size_t{q} + side) * words, out.width, source, prio);
            unlock(out.locks[q]);
          }
        }
      }
    });
  }
}

void retire_sampled(NeighborLists& lists, const JoinCandidates& cands) {
  parallel_for_blocks(lists.size(), 256, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t p = lo; p < hi; ++p) {
      const std::span<const Neighbor> row = lists.row(p);
      const std::span<std::uint8_t> fresh = lists.fresh(p);
      const CandidateRow sampled = cands.fresh_of(p);
      for (std::size_t j = 0; j < row.size(); ++j) {
        if (fresh[j] != 0 && sampled.contains(row[j].id)) fresh[j] = 0;
      }
    }
  });
}

}  // namespace orlim
