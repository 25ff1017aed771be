#include "orlim/build/ball_carving.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"

namespace orlim {
namespace {

// One carving step assigns every id to one of at most this many leaders: len x 64 x d work per
// level, and a bucket label fits in a byte.
constexpr std::size_t kMaxLeaders = 64;
// Up to this depth an oversized bucket that shrank enough is carved again, one level deeper;
// past it every oversized bucket is chunked, so calls nest at most 24 deep whatever the data.
constexpr std::size_t kMaxCarveDepth = 23;
// Up to this many leaves the halo compares each point with every leaf centroid.
constexpr std::size_t kFlatHaloLeaves = 256;
// Above it a point only looks at the leaves of this many nearest groups.
constexpr std::size_t kHaloGroups = 3;

// Points per parallel block: each costs up to 64 (carving) or L (halo) distances.
constexpr std::size_t kAssignGrain = 512;
constexpr std::size_t kHaloGrain = 128;

// Working memory of one carving, indexed by position in Leaves::members so that a nested call
// reuses its parent's slice (the parent is done with it by the time the child runs).
struct CarveScratch {
  std::vector<PointId> buffer;       // shuffled copy of a slice, then its ids sorted by bucket
  std::vector<std::uint8_t> bucket;  // nearest leader of the id at each position
  std::vector<float> leaders;        // leader vectors, kMaxLeaders x d
};

// Position of the nearest of k rows of `rows`: only a strictly smaller distance wins, so ties go
// to the lower position, NaN never wins, and position 0 is the answer when nothing wins.
inline std::size_t nearest_row(SqL2Fn dist, const float* x, const float* rows, std::size_t k,
                               std::size_t d) {
  float best = std::numeric_limits<float>::infinity();
  std::size_t arg = 0;
  for (std::size_t j = 0; j < k; ++j) {
    const float s = dist(x, rows + j * d, d);
    if (s < best) {
      best = s;
      arg = j;
    }
  }
  return arg;
}

// Shuffles members[lo, hi) and closes a leaf after every c_max of them (the last takes the rest).
void append_chunks(Leaves& leaves, std::size_t lo, std::size_t hi, std::size_t c_max, Rng& rng) {
  shuffle(std::span<PointId>(leaves.members.data() + lo, hi - lo), rng);
  for (std::size_t start = lo; start < hi; start += c_max) {
    leaves.offsets.push_back(std::min(start + c_max, hi));
  }
}

// Sorts members[lo, lo + len) by bucket, stably, and returns where each bucket starts (k + 1
// entries, relative to lo).
std::array<std::size_t, kMaxLeaders + 1> sort_by_bucket(Leaves& leaves, std::size_t lo,
                                                        std::size_t len, std::size_t k,
                                                        CarveScratch& scratch) {
  PointId* ids = leaves.members.data() + lo;
  PointId* sorted = scratch.buffer.data() + lo;
  const std::uint8_t* bucket = scratch.bucket.data() + lo;
  std::array<std::size_t, kMaxLeaders + 1> starts{};
  for (std::size_t i = 0; i < len; ++i) ++starts[bucket[i] + 1];
  std::partial_sum(starts.begin(), starts.begin() + k + 1, starts.begin());
  std::array<std::size_t, kMaxLeaders + 1> next = starts;
  for (std::size_t i = 0; i < len; ++i) sorted[next[bucket[i]]++] = ids[i];
  std::copy(sorted, sorted + len, ids);
  return starts;
}

void carve(const Dataset& data, std::size_t c_max, std::size_t lo, std::size_t hi,
           std::size_t depth, Rng& rng, CarveScratch& scratch, Leaves& leaves) {
  const std::size_t len = hi - lo;
  if (len <= c_max) {
    leaves.offsets.push_back(hi);
    return;
  }
  if (c_max == 0) fail("c_max must be at least 1");
  const std::size_t d = data.d;

  // Leaders: the first k of a shuffled copy. The whole copy is shuffled, not just k picks: every
  // later draw continues from where this shuffle leaves the stream.
  PointId* ids = leaves.members.data() + lo;
  std::span<PointId> perm(scratch.buffer.data() + lo, len);
  std::copy(ids, ids + len, perm.begin());
  shuffle(perm, rng);
  const std::size_t k = std::min({std::max<std::size_t>(2 * len / c_max, 2), len, kMaxLeaders});
  for (std::size_t j = 0; j < k; ++j) {
    std::copy(data.row(perm[j]), data.row(perm[j]) + d, scratch.leaders.begin() + j * d);
  }

  // The scan draws nothing, so splitting it over workers cannot change the result.
  parallel_for_blocks(len, kAssignGrain, [&](std::size_t first, std::size_t last) {
    const SqL2Fn dist = sq_l2_kernel();
    for (std::size_t i = first; i < last; ++i) {
      cancellation_point();
      scratch.bucket[lo + i] = static_cast<std::uint8_t>(
          nearest_row(dist, data.row(ids[i]), scratch.leaders.data(), k, d));
    }
  });
  const auto starts = sort_by_bucket(leaves, lo, len, k, scratch);

  // A bucket that kept more than 90% of its parent barely split (duplicates, one tight cluster):
  // carving it again could take many more levels, so it is chunked at random instead.
  const auto limit = static_cast<std::size_t>(0.9 * static_cast<double>(len));
  for (std::size_t b = 0; b < k; ++b) {
    const std::size_t first = lo + starts[b];
    const std::size_t last = lo + starts[b + 1];
    const std::size_t size = last - first;
    if (size == 0) continue;
    if (size <= c_max) {
      leaves.offsets.push_back(last);
    } else if (size > limit || depth > kMaxCarveDepth) {
      append_chunks(leaves, first, last, c_max, rng);
    } else {
      carve(data, c_max, first, last, depth + 1, rng, scratch, leaves);
    }
  }
}

// Element by element, so vectorizing it cannot change any rounding.
inline void add_row(float* __restrict sum, const float* __restrict x, std::size_t d) {
  for (std::size_t j = 0; j < d; ++j) sum[j] += x[j];
}

// Row l of the result is the mean of leaf l's vectors (summed in member order, then scaled by the
// float32 reciprocal of its size); home[p] becomes the leaf holding p.
std::vector<float> leaf_centroids(const Dataset& data, const Leaves& leaves,
                                  std::vector<PointId>& home) {
  const std::size_t d = data.d;
  std::vector<float> centroids(checked_mul(leaves.size(), d, "leaf centroids"), 0.0f);
  home.assign(data.n, kNoPoint);
  parallel_for_blocks(leaves.size(), 16, [&](std::size_t first, std::size_t last) {
    for (std::size_t l = first; l < last; ++l) {
      float* row = centroids.data() + l * d;
      const auto members = leaves.leaf(l);
      for (const PointId p : members) {
        home[p] = static_cast<PointId>(l);
        add_row(row, data.row(p), d);
      }
      const float inv = 1.0f / static_cast<float>(std::max<std::size_t>(members.size(), 1));
      for (std::size_t j = 0; j < d; ++j) row[j] *= inv;
    }
  });
  return centroids;
}

// Coarse groups of leaves for the two-level halo search: ceil(sqrt(L)) pivot leaves drawn at
// random, every leaf in the group of its nearest pivot, groups in CSR form in ascending leaf order.
struct LeafGroups {
  std::vector<std::size_t> offsets;  // group g holds leaves[offsets[g], offsets[g + 1])
  std::vector<PointId> leaves;
  std::vector<float> centroids;  // mean of the group's leaf centroids, one row per group

  std::size_t size() const { return offsets.size() - 1; }
  std::span<const PointId> group(std::size_t g) const {
    return {leaves.data() + offsets[g], offsets[g + 1] - offsets[g]};
  }
};

LeafGroups group_leaves(const std::vector<float>& centroids, std::size_t num_leaves, std::size_t d,
                        std::uint64_t seed) {
  Rng rng(seed ^ kHaloPivotSeedXor);
  const auto k = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(num_leaves))));
  std::vector<PointId> order(num_leaves);
  std::iota(order.begin(), order.end(), PointId{0});
  shuffle(std::span<PointId>(order), rng);
  std::vector<float> pivots(k * d);
  for (std::size_t g = 0; g < k; ++g) {
    std::copy_n(centroids.data() + order[g] * d, d, pivots.data() + g * d);
  }

  std::vector<PointId> group_of(num_leaves);
  parallel_for_blocks(num_leaves, 64, [&](std::size_t first, std::size_t last) {
    const SqL2Fn dist = sq_l2_kernel();
    for (std::size_t l = first; l < last; ++l) {
      group_of[l] =
          static_cast<PointId>(nearest_row(dist, centroids.data() + l * d, pivots.data(), k, d));
    }
  });

  LeafGroups groups;
  groups.offsets.assign(k + 1, 0);
  for (const PointId g : group_of) ++groups.offsets[g + 1];
  std::partial_sum(groups.offsets.begin(), groups.offsets.end(), groups.offsets.begin());
  groups.leaves.resize(num_leaves);
  groups.centroids.assign(k * d, 0.0f);
  std::vector<std::size_t> next(groups.offsets.begin(), groups.offsets.end() - 1);
  for (std::size_t l = 0; l < num_leaves; ++l) {
    const PointId g = group_of[l];
    groups.leaves[next[g]++] = static_cast<PointId>(l);
    add_row(groups.centroids.data() + g * d, centroids.data() + l * d, d);
  }
  for (std::size_t g = 0; g < k; ++g) {
    const float inv = 1.0f / static_cast<float>(std::max<std::size_t>(groups.group(g).size(), 1));
    float* row = groups.centroids.data() + g * d;
    for (std::size_t j = 0; j < d; ++j) row[j] *= inv;
  }
  return groups;
}

// Rebuilds the leaves with each point p appended to the leaves of chosen[p * extra ...] (kNoPoint
// marks an unused slot). Points are visited in ascending order, so every leaf gets its new
// members in ascending id order after its carved ones.
void append_halo(Leaves& leaves, const std::vector<PointId>& chosen, std::size_t extra) {
  const std::size_t num_leaves = leaves.size();
  std::vector<std::size_t> added(num_leaves, 0);
  for (const PointId l : chosen) {
    if (l != kNoPoint) ++added[l];
  }
  Leaves out;
  out.offsets.resize(num_leaves + 1);
  out.offsets[0] = 0;
  std::vector<std::size_t> next(num_leaves);
  for (std::size_t l = 0; l < num_leaves; ++l) {
    const auto carved = leaves.leaf(l);
    next[l] = out.offsets[l] + carved.size();
    out.offsets[l + 1] = next[l] + added[l];
  }
  out.members.resize(out.offsets.back());
  for (std::size_t l = 0; l < num_leaves; ++l) {
    const auto carved = leaves.leaf(l);
    std::copy(carved.begin(), carved.end(), out.members.begin() + out.offsets[l]);
  }
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    if (chosen[i] != kNoPoint) out.members[next[chosen[i]]++] = static_cast<PointId>(i / extra);
  }
  leaves = std::move(out);
}

}  // namespace

void NearestLeaves::insert(float dist, PointId leaf) {
  if (best_.size() < count_) {
    holds_nan_ = holds_nan_ || std::isnan(dist);
    best_.push_back({leaf, dist});
    if (best_.size() < 2) return;
    if (holds_nan_) fail("NaN distance while ranking centroids");
  } else {
    best_.back() = {leaf, dist};  // offer() let through only a strictly nearer distance
  }
  // The new entry is last; moving it before the strictly farther ones keeps equal distances in
  // the order they were offered.
  auto it = best_.end() - 1;
  while (it != best_.begin() && dist < (it - 1)->dist) {
    *it = *(it - 1);
    --it;
  }
  *it = {leaf, dist};
}

void nearest_centroids(const float* x, std::span<const float> centroids, std::size_t d,
                       PointId home, std::span<const PointId> candidates, NearestLeaves& nearest) {
  const SqL2Fn dist = sq_l2_kernel();
  for (const PointId c : candidates) {
    if (c == home) continue;
    nearest.offer(dist(x, centroids.data() + std::size_t{c} * d, d), c);
  }
}

void carve_disjoint(const Dataset& data, std::size_t c_max, std::size_t depth, Rng& rng,
                    Leaves& leaves) {
  const std::size_t lo = leaves.offsets.back();
  const std::size_t hi = leaves.members.size();
  if (lo > hi) fail("carve_disjoint: leaf offsets past the member list");
  CarveScratch scratch;
  if (hi - lo > c_max) {
    scratch.buffer.resize(hi);
    scratch.bucket.resize(hi);
    scratch.leaders.resize(checked_mul(kMaxLeaders, data.d, "carving leaders"));
  }
  carve(data, c_max, lo, hi, depth, rng, scratch, leaves);
}

void add_halo(const Dataset& data, Leaves& leaves, std::size_t fanout, std::uint64_t seed) {
  const std::size_t num_leaves = leaves.size();
  const std::size_t n = data.n;
  const std::size_t d = data.d;
  if (num_leaves < 2 || fanout < 2) return;
  if (leaves.members.size() != n) fail("add_halo: leaves must cover every point exactly once");
  const std::size_t extra = std::min(num_leaves - 1, fanout - 1);

  std::vector<PointId> home;
  const std::vector<float> centroids = leaf_centroids(data, leaves, home);
  const bool flat = num_leaves <= kFlatHaloLeaves;
  std::vector<PointId> all_leaves;
  LeafGroups groups;
  if (flat) {
    all_leaves.resize(num_leaves);
    std::iota(all_leaves.begin(), all_leaves.end(), PointId{0});
  } else {
    groups = group_leaves(centroids, num_leaves, d, seed);
  }

  std::vector<PointId> chosen(checked_mul(n, extra, "halo assignment"), kNoPoint);
  parallel_for_blocks(n, kHaloGrain, [&](std::size_t first, std::size_t last) {
    NearestLeaves nearest(extra);
    NearestLeaves near_groups(kHaloGroups);
    const SqL2Fn dist = sq_l2_kernel();
    for (std::size_t p = first; p < last; ++p) {
      cancellation_point();
      const float* x = data.row(p);
      nearest.reset();
      if (flat) {
        nearest_centroids(x, centroids, d, home[p], all_leaves, nearest);
      } else {
        near_groups.reset();
        for (std::size_t g = 0; g < groups.size(); ++g) {
          near_groups.offer(dist(x, groups.centroids.data() + g * d, d), static_cast<PointId>(g));
        }
        for (const Neighbor& g : near_groups.best()) {
          nearest_centroids(x, centroids, d, home[p], groups.group(g.id), nearest);
        }
      }
      const auto best = nearest.best();
      for (std::size_t i = 0; i < best.size(); ++i) chosen[p * extra + i] = best[i].id;
    }
  });
  append_halo(leaves, chosen, extra);
}

Leaves partition(const Dataset& data, const BuildParams& params) {
  if (data.n > std::numeric_limits<PointId>::max()) fail("too many points for 32-bit ids");
  if (params.c_max == 0 && data.n > 0) fail("c_max must be at least 1");
  Leaves leaves;
  leaves.members.resize(data.n);
  std::iota(leaves.members.begin(), leaves.members.end(), PointId{0});
  Rng rng(params.seed ^ kCarvingSeedXor);
  carve_disjoint(data, params.c_max, 0, rng, leaves);
  if (params.fanout > 1 && leaves.size() >= 2) add_halo(data, leaves, params.fanout, params.seed);
  return leaves;
}

}  // namespace orlim
