#include "orlim/build.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>

#include <xmmintrin.h>

#include "orlim/failure.hpp"
#include "orlim/hashprune/hyperplanes.hpp"
#include "orlim/hashprune/reservoir.hpp"
#include "orlim/leaf/gemm.hpp"
#include "orlim/parallel.hpp"
#include "orlim/partition/ball_carving.hpp"
#include "orlim/profile.hpp"
#include "orlim/rng.hpp"
#include "orlim/robust_prune.hpp"
#include "orlim/symmetrize.hpp"

namespace orlim {

namespace {

// Each reservoir with the mutex that guards it during the leaf phase. A worker holds one of
// these at a time, for one point's batch of inserts from one leaf.
struct GuardedReservoirs {
  GuardedReservoirs(std::size_t n, std::size_t capacity) : locks(n) {
    reservoirs.reserve(n);
    for (std::size_t p = 0; p < n; ++p) reservoirs.emplace_back(capacity);
  }
  std::vector<std::mutex> locks;  // locks[p] guards reservoirs[p]
  std::vector<Reservoir> reservoirs;
};

// The k nearest leaf-mates of local member i, nearest first, into keys[0, k); `keys` has room for
// t entries. A key holds a distance's bits above the local index: the row holds no negative value
// and no NaN, so the keys' unsigned order is the distances' order, equal distances by smaller
// index, and integers select and sort faster than pairs. A threshold from an evenly spaced sample
// of the row, set generously above the sample's share of the k nearest, lets one cheap pass
// collect a short superset of them; only that superset is selected and sorted. When the sample
// misjudges the row (too few pass), the whole row is selected instead, so the result is always
// exact. (Which of several pairs tied at the k-th distance are kept is left open by the build's
// rules.)
void nearest_leaf_keys(const float* row, std::size_t t, std::size_t i, std::size_t k,
                       std::uint64_t* keys) {
  auto key = [row](std::size_t j) {
    return (static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(row[j])) << 32) | j;
  };
  constexpr std::size_t kSample = 128;
  std::size_t count = 0;
  if (t > 4 * kSample && k < t / 8) {
    float sample[2 * kSample];
    std::size_t taken = 0;
    const std::size_t step = t / kSample;
    for (std::size_t j = step / 2; j < t && taken < 2 * kSample; j += step) {
      if (j != i) sample[taken++] = row[j];
    }
    // The sample's expected share of the k nearest, plus about two standard deviations: the
    // threshold then falls short of the k-th distance in only a few rows in a hundred.
    const std::size_t expected = k * taken / t;
    const auto spread = static_cast<std::size_t>(2.0 * std::sqrt(static_cast<double>(expected)));
    const std::size_t rank = std::min(taken - 1, expected + spread + 2);
    std::nth_element(sample, sample + rank, sample + taken);
    const float threshold = sample[rank];
    // Four distances per comparison; few pass, so the scalar work per passing entry is rare.
    const __m128 limit = _mm_set1_ps(threshold);
    std::size_t j = 0;
    for (; j + 4 <= t; j += 4) {
      unsigned mask =
          static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(row + j), limit)));
      while (mask != 0) {
        const std::size_t q = j + static_cast<std::size_t>(__builtin_ctz(mask));
        mask &= mask - 1;
        keys[count] = key(q);
        count += q != i;  // member i's own entry is written, then overwritten
      }
    }
    for (; j < t; ++j) {
      if (row[j] <= threshold && j != i) keys[count++] = key(j);
    }
    if (count < k) count = 0;
  }
  if (count == 0) {
    for (std::size_t j = 0; j < t; ++j) {
      if (j != i) keys[count++] = key(j);
    }
  }
  if (k < count) std::nth_element(keys, keys + k, keys + count);
  std::sort(keys, keys + std::min(k, count));
}

// Per-task working state of the leaf phase, reused for every leaf the task handles.
struct LeafScratch {
  LeafRows leaf;
  std::vector<float> block;         // distance rows of the current block of members
  std::vector<float> proj;          // the members' projection rows, in leaf order
  std::vector<std::uint64_t> keys;  // selection buffer, one entry per member
};

// Leaves up to this many members get one product for the whole distance matrix; a larger leaf
// (the halo can grow a leaf well past c_max) is processed in blocks of rows holding about as many
// distances, so memory stays bounded by the largest block, not the square of the largest leaf.
constexpr std::size_t kWholeLeafMembers = 2048;
constexpr std::size_t kBlockCells = kWholeLeafMembers * kWholeLeafMembers;

// Offers every member of one leaf its nearest leaf-mates.
void leaf_work(const Dataset& data, std::span<const PointId> ids, const Projections& proj,
               std::size_t l_max, GuardedReservoirs& store, LeafScratch& scratch) {
  const std::size_t t = ids.size();
  if (t <= 1) return;
  const std::size_t k = std::min(t - 1, l_max);
  if (k == 0) return;
  gather_leaf(data, ids, scratch.leaf);
  // Every member's projection row is read by up to k relative codes per member: gathered once in
  // leaf order, they stay in cache instead of costing a miss per code.
  const std::size_t m = proj.m;
  scratch.proj.resize(t * m);
  for (std::size_t i = 0; i < t; ++i) {
    std::copy_n(proj.row(ids[i]), m, scratch.proj.data() + i * m);
  }
  if (scratch.keys.size() < t) scratch.keys.resize(t);
  const std::size_t block_rows = std::max<std::size_t>(256, kBlockCells / t);
  for (std::size_t r0 = 0; r0 < t; r0 += block_rows) {
    const std::size_t r1 = std::min(t, r0 + block_rows);
    scratch.block.resize((r1 - r0) * t);
    leaf_sq_dists_rows(scratch.leaf, r0, r1, scratch.block.data());
    for (std::size_t i = r0; i < r1; ++i) {
      // The reservoirs of the next members are scattered in memory: ask for them early.
      if (i + 2 < t) {
        __builtin_prefetch(&store.reservoirs[ids[i + 2]]);
        __builtin_prefetch(&store.locks[ids[i + 2]]);
      }
      if (i + 1 < t) {
        const Slot* next = store.reservoirs[ids[i + 1]].slots().data();
        for (std::size_t b = 0; b < l_max * sizeof(Slot); b += 64) {
          __builtin_prefetch(reinterpret_cast<const char*>(next) + b);
        }
      }
      nearest_leaf_keys(scratch.block.data() + (i - r0) * t, t, i, k, scratch.keys.data());
      const float* own = scratch.proj.data() + i * m;
      const PointId p = ids[i];
      std::lock_guard<std::mutex> lock(store.locks[p]);
      Reservoir& reservoir = store.reservoirs[p];
      for (std::size_t c = 0; c < k; ++c) {
        const auto q = static_cast<std::size_t>(scratch.keys[c] & 0xFFFFFFFFu);
        const auto dist = std::bit_cast<float>(static_cast<std::uint32_t>(scratch.keys[c] >> 32));
        reservoir.insert(ids[q], relative_code(scratch.proj.data() + q * m, own, m), dist);
      }
    }
  }
}

void run_leaf_phase(const Dataset& data, const BuildParams& params, const Projections& proj,
                    GuardedReservoirs& store, bool profiling) {
  const std::size_t runs = std::max<std::size_t>(params.runs, 1);
  for (std::size_t j = 0; j < runs; ++j) {
    BuildParams run_params = params;
    run_params.seed = run_seed(params.seed, j);
    const Leaves leaves = partition(data, run_params);
    if (profiling) {
      const double repl = static_cast<double>(leaves.members.size()) / static_cast<double>(data.n);
      print_run_line(j + 1, runs, leaves.size(), repl);
    }
    parallel_for_blocks(leaves.size(), 1, [&](std::size_t lo, std::size_t hi) {
      LeafScratch scratch;
      for (std::size_t l = lo; l < hi; ++l) {
        leaf_work(data, leaves.leaf(l), proj, params.l_max, store, scratch);
      }
    });
  }
}

// Empties each reservoir in distance order, keeps the first c candidates if asked, and prunes
// the rest into the point's row of `pruned`. Each task owns its points' reservoirs and rows.
void run_prune_phase(const Dataset& data, const BuildParams& params, std::size_t c,
                     GuardedReservoirs& store, FlatAdjacency& pruned, RetainedCands& retained) {
  parallel_for_blocks(data.n, 64, [&](std::size_t lo, std::size_t hi) {
    std::vector<Neighbor> sorted;
    PruneScratch scratch;
    for (std::size_t p = lo; p < hi; ++p) {
      store.reservoirs[p].into_sorted(sorted);
      if (c > 0) {
        const std::size_t keep = std::min(c, sorted.size());
        std::copy_n(sorted.begin(), keep,
                    retained.slots.begin() + static_cast<std::ptrdiff_t>(p * c));
        retained.counts[p] = static_cast<std::uint32_t>(keep);
      }
      const std::size_t degree = robust_prune_into(data, static_cast<PointId>(p), sorted,
                                                   params.alpha, pruned.row(p), scratch);
      pruned.degrees[p] = static_cast<std::uint32_t>(degree);
      store.reservoirs[p] = Reservoir();  // its slots are not needed again
    }
  });
}

}  // namespace

BuiltIndex build_index_with_cands(const Dataset& data, const BuildParams& params, std::size_t c) {
  const std::size_t n = data.n;
  if (n == 0) return BuiltIndex{Graph::from_adjacency({}, 0), RetainedCands{}};
  const bool profiling = profiling_enabled();
  Stopwatch timer;
  const Hyperplanes planes(params.m, data.d, params.seed);
  const Projections proj = sketch_all(planes, data);
  if (profiling) print_phase_line("sketch", timer.seconds());
  timer.restart();
  // Width-0 pruned rows could hold no edge at all; the partitioner rejects c_max = 0 itself.
  if (params.r == 0) fail("r must be at least 1");

  FlatAdjacency pruned(n, params.r);
  RetainedCands retained;
  {
    GuardedReservoirs store(n, params.l_max);
    run_leaf_phase(data, params, proj, store, profiling);
    if (profiling) print_phase_line("leaf+hashprune", timer.seconds());
    timer.restart();

    if (c > 0) {
      retained.width = c;
      retained.slots.resize(checked_mul(n, c, "retained candidates"));
      retained.counts.assign(n, 0);
    }
    run_prune_phase(data, params, c, store, pruned, retained);
  }
  if (profiling) print_phase_line("robustprune", timer.seconds());
  timer.restart();

  const PointId entry = approx_medoid(data);
  const FlatAdjacency both_ways = symmetrize_flat(data, pruned.slots, pruned.degrees, n, params.r);
  BuiltIndex out{Graph::from_flat(both_ways, entry), std::move(retained)};
  if (profiling) print_phase_line("symmetrize", timer.seconds());
  return out;
}

}  // namespace orlim
