#include "orlim/search/refine.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "orlim/base/parallel.hpp"
#include "orlim/base/profile.hpp"
#include "orlim/base/rng.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/search/join_candidates.hpp"
#include "orlim/search/leaf_start.hpp"
#include "orlim/search/neighbor_lists.hpp"

namespace orlim {

namespace {

// Seeds of the refinement's own draws, apart from every stream of the leaf phase.
constexpr std::uint64_t kJoinSeedXor = 0x6A09E667F3BCC909ull;
constexpr std::uint64_t kFillSeedXor = 0xBB67AE8584CAA73Bull;

// The rows of targets[t, t + 4), the last one repeated past `count`: a short group costs as much
// as a full one, but the four-at-once kernel gives the same bits as the single one.
void gather_four(const Dataset& data, const PointId* targets, std::size_t t, std::size_t count,
                 const float* b[4]) {
  for (std::size_t r = 0; r < 4; ++r) b[r] = data.row(targets[std::min(t + r, count - 1)]);
}

// Measures u against targets[0, count) four at a time and offers each pair both ways; returns
// the number of rows that changed.
std::size_t measure_and_offer(const Dataset& data, NeighborLists& lists, PointId u,
                              const PointId* targets, std::size_t count) {
  const SqL2x4Fn x4 = sq_l2_x4_kernel();
  const float* a = data.row(u);
  std::size_t changed = 0;
  for (std::size_t t = 0; t < count; t += 4) {
    const float* b[4];
    gather_four(data, targets, t, count, b);
    for (std::size_t r = t + 4; r < std::min(count, t + 8); ++r) {
      prefetch_row(data.row(targets[r]), data.d);
      lists.prefetch(targets[r]);
    }
    float out[4];
    x4(a, b, data.d, out);
    for (std::size_t r = 0; r < std::min<std::size_t>(4, count - t); ++r) {
      const PointId v = targets[t + r];
      changed += lists.offer(u, v, out[r]) ? 1 : 0;
      changed += lists.offer(v, u, out[r]) ? 1 : 0;
    }
  }
  return changed;
}

// Pads every row the leaves could not fill with random other points: rows are at most n - 1
// wide, so the draws always find enough.
void pad_with_random_points(const Dataset& data, std::uint64_t seed, NeighborLists& lists) {
  const std::size_t n = data.n;
  const std::size_t w = lists.width();
  parallel_for_blocks(n, 64, [&](std::size_t lo, std::size_t hi) {
    const SqL2Fn one = sq_l2_kernel();
    for (std::size_t p = lo; p < hi; ++p) {
      if (lists.row(p)[w - 1].id != kNoPoint) continue;
      const PointId self = static_cast<PointId>(p);
      Rng rng(seed ^ (static_cast<std::uint64_t>(p) * kRunSeedStep));
      while (lists.row(p)[w - 1].id == kNoPoint) {
        const PointId q = static_cast<PointId>(uniform_index(rng, n));
        if (q != self) lists.insert(self, q, one(data.row(p), data.row(q), data.d));
      }
    }
  });
}

// One round of local joins: for each point, every fresh candidate against the fresh ones after it
// and against every old one. Old pairs were measured in an earlier round and are skipped.
// Points are visited in `order`, so that consecutive ones share candidates.
std::size_t join_round(const Dataset& data, const JoinCandidates& cands,
                       std::span<const PointId> order, NeighborLists& lists) {
  std::atomic<std::size_t> changed{0};
  parallel_for_blocks(data.n, 32, [&](std::size_t lo, std::size_t hi) {
    std::vector<PointId> targets(2 * cands.width);
    std::size_t local = 0;
    for (std::size_t pos = lo; pos < hi; ++pos) {
      const PointId p = order[pos];
      const CandidateRow fresh = cands.fresh_of(p);
      const CandidateRow old = cands.old_of(p);
      for (std::size_t i = 0; i < fresh.size(); ++i) {
        const PointId u = fresh[i];
        std::size_t count = 0;
        for (std::size_t j = i + 1; j < fresh.size(); ++j) targets[count++] = fresh[j];
        for (std::size_t j = 0; j < old.size(); ++j) {
          if (old[j] != u) targets[count++] = old[j];
        }
        local += measure_and_offer(data, lists, u, targets.data(), count);
      }
    }
    changed.fetch_add(local, std::memory_order_relaxed);
  });
  return changed.load();
}

}  // namespace

BuildParams refine_build_params() {
  BuildParams params;
  params.c_max = 512;
  params.fanout = 3;
  return params;
}

SelfKnn knn_self_refine(const Dataset& data, const BuildParams& build, const RefineParams& refine,
                        std::size_t k) {
  const std::size_t n = data.n;
  const std::size_t stride = self_knn_stride(n, k);
  SelfKnn out = make_knn_result(n, stride);
  if (n == 0) return out;
  const std::size_t others = stride - 1;
  const std::size_t wanted = refine.list_size > 0 ? refine.list_size : others + 2;
  // Without others to report (k = 0 or a single point) there is nothing to refine.
  const std::size_t width = others == 0 ? 0 : std::min(std::max(wanted, others), n - 1);
  const bool profiling = profiling_enabled();

  if (width > 0) {
    NeighborLists lists(n, width);
    std::vector<PointId> order;
    {
      Stopwatch timer;
      fill_from_leaves(data, build, lists, &order);
      pad_with_random_points(data, build.seed ^ kFillSeedXor, lists);
      if (profiling) print_phase_line("start lists", timer.seconds());
    }
    const std::size_t sample = refine.sample > 0 ? refine.sample : width;
    JoinCandidates cands(n, sample);
    const double stop_below = static_cast<double>(refine.min_change) * static_cast<double>(n) *
                              static_cast<double>(width);
    for (std::size_t round = 0; round < refine.max_rounds; ++round) {
      Stopwatch timer;
      sample_join_candidates(lists, run_seed(build.seed ^ kJoinSeedXor, round), cands);
      retire_sampled(lists, cands);
      const std::size_t changed = join_round(data, cands, order, lists);
      if (profiling) {
        char line[96];
        std::snprintf(line, sizeof line, "[orlim] join %-9zu %7.3fs changed=%zu", round + 1,
                      timer.seconds(), changed);
        print_line(line);
      }
      if (static_cast<double>(changed) < stop_below) break;
    }
    parallel_for_blocks(n, 256, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t p = lo; p < hi; ++p) {
        const std::span<const Neighbor> row = lists.row(p);
        PointId* row_ids = out.indices.data() + p * stride;
        float* row_dists = out.distances.data() + p * stride;
        for (std::size_t j = 1; j < stride; ++j) {
          row_ids[j] = row[j - 1].id;
          row_dists[j] = reported_distance(row[j - 1].dist, data.metric);
        }
      }
    });
  }
  for (std::size_t p = 0; p < n; ++p) {
    out.indices[p * stride] = static_cast<PointId>(p);
    out.distances[p * stride] = reported_distance(0.0f, data.metric);
  }
  return out;
}

}  // namespace orlim
