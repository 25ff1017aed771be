#include "orlim/search/join_candidates.hpp"

#include <algorithm>

#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"

namespace orlim {

namespace {

// Every task scans all links and keeps those whose end lies in its range of points, so a point's
// sample is built by one task, in link order, without locks. The scans cost the links times the
// number of ranges: a few ranges are enough to keep two to a few dozen workers busy.
constexpr std::size_t kTargetRanges = 8;

// The splitmix64 finaliser: every bit of the pair and the seed reaches every bit of the priority.
std::uint32_t link_priority(std::uint64_t seed, PointId p, PointId q) {
  std::uint64_t z = seed ^ ((static_cast<std::uint64_t>(p) << 32) | q);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
}

// Offers candidate c with priority `prio` to point t's row of one side: a candidate already there
// keeps the smaller of its priorities; a full row swaps its largest priority for a smaller one.
void offer(JoinCandidates::Side& side, std::size_t width, PointId t, PointId c,
           std::uint32_t prio) {
  PointId* ids = side.ids.data() + static_cast<std::size_t>(t) * width;
  std::uint32_t* prios = side.prio.data() + static_cast<std::size_t>(t) * width;
  std::uint32_t& count = side.counts[t];
  for (std::uint32_t j = 0; j < count; ++j) {
    if (ids[j] == c) {
      prios[j] = std::min(prios[j], prio);
      return;
    }
  }
  if (count < width) {
    ids[count] = c;
    prios[count] = prio;
    ++count;
    return;
  }
  std::size_t largest = 0;
  for (std::size_t j = 1; j < width; ++j) {
    if (prios[j] > prios[largest]) largest = j;
  }
  if (prio < prios[largest]) {
    ids[largest] = c;
    prios[largest] = prio;
  }
}

}  // namespace

JoinCandidates::JoinCandidates(std::size_t n_points, std::size_t row_width)
    : n(n_points), width(row_width) {
  for (Side* side : {&fresh, &old}) {
    side->ids.resize(checked_mul(n, width, "join candidates"));
    side->prio.resize(n * width);
    side->counts.assign(n, 0);
  }
}

void sample_join_candidates(const NeighborLists& lists, std::uint64_t seed, JoinCandidates& out) {
  const std::size_t n = lists.size();
  if (n == 0) return;
  std::fill(out.fresh.counts.begin(), out.fresh.counts.end(), 0u);
  std::fill(out.old.counts.begin(), out.old.counts.end(), 0u);
  if (out.width == 0) return;
  const std::size_t ranges = std::min(n, kTargetRanges);
  const std::size_t span = (n + ranges - 1) / ranges;
  parallel_for_blocks(ranges, 1, [&](std::size_t r0, std::size_t r1) {
    const PointId lo = static_cast<PointId>(r0 * span);
    const PointId hi = static_cast<PointId>(std::min(n, r1 * span));
    for (std::size_t p = 0; p < n; ++p) {
      const PointId source = static_cast<PointId>(p);
      const bool own_source = source >= lo && source < hi;
      const std::span<const PointId> ids = lists.ids(p);
      const std::span<const std::uint8_t> fresh = lists.fresh(p);
      for (std::size_t j = 0; j < ids.size(); ++j) {
        const PointId q = ids[j];
        if (q == kNoPoint || q == source) continue;
        const bool own_target = q >= lo && q < hi;
        if (!own_source && !own_target) continue;
        JoinCandidates::Side& side = fresh[j] != 0 ? out.fresh : out.old;
        const std::uint32_t prio = link_priority(seed, source, q);
        if (own_source) offer(side, out.width, source, q, prio);
        if (own_target) offer(side, out.width, q, source, prio);
      }
    }
  });
}

void retire_sampled(NeighborLists& lists, const JoinCandidates& cands) {
  parallel_for_blocks(lists.size(), 256, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t p = lo; p < hi; ++p) {
      const std::span<const PointId> ids = lists.ids(p);
      const std::span<std::uint8_t> fresh = lists.fresh(p);
      const std::span<const PointId> sampled = cands.fresh_of(p);
      for (std::size_t j = 0; j < ids.size(); ++j) {
        if (fresh[j] == 0) continue;
        if (std::find(sampled.begin(), sampled.end(), ids[j]) != sampled.end()) fresh[j] = 0;
      }
    }
  });
}

}  // namespace orlim
