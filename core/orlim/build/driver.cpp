#include "orlim/build/driver.hpp"

#include <algorithm>
#include <mutex>

#include "orlim/base/failure.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/build/hyperplanes.hpp"
#include "orlim/build/reservoir.hpp"
#include "orlim/kernels/gemm.hpp"
#include "orlim/build/leaf_nearest.hpp"
#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/build/ball_carving.hpp"
#include "orlim/base/profile.hpp"
#include "orlim/base/rng.hpp"
#include "orlim/build/robust_prune.hpp"
#include "orlim/build/symmetrize.hpp"

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

// Per-task working state of the leaf phase, reused for every leaf the task handles.
struct LeafScratch {
  LeafRows leaf;
  std::vector<float> block;  // distance rows of the current block of members
  std::vector<float> proj;   // the members' projection rows, in leaf order
  NearestScratch nearest;    // selection buffers
};

// Leaves up to this many members get one product for the whole distance matrix; a larger leaf
// (the halo can grow a leaf well past c_max) is processed in blocks of rows holding about as many
// distances, so memory stays bounded by the largest block, not the square of the largest leaf.
constexpr std::size_t kWholeLeafMembers = 2048;
constexpr std::size_t kBlockCells = kWholeLeafMembers * kWholeLeafMembers;

// A leaf row whose product rounding exceeds this share of its nearest distance is measured again.
constexpr float kRefineShare = 0x1p-6f;

// Centring keeps the products' rounding, about margin * (n_i + n_j) with the centred norms (see
// product_margin), far below the distances in a leaf of one tight group, wherever the group lies.
// A leaf that spans groups far apart from each other still has norms that hide the distances
// inside each group, and its rows' nearest would be picked, and stored, by rounding noise. Such a
// row (its bound above a share of its nearest distance) is repaired here: every entry that could
// still be among the k nearest (its lower bound at most the k-th's upper bound) is replaced by
// its exact distance; the others are certainly farther. Rows with exact duplicates come here too
// and cost about k exact distances. Returns whether the row changed, so that the caller selects
// again.
bool refine_leaf_row(const Dataset& data, std::span<const PointId> ids, const LeafRows& leaf,
                     std::size_t i, const std::uint64_t* keys, std::size_t k, float margin,
                     float* row) {
  const float* norms = leaf.norms.data();
  float widest = 0.0f;
  for (std::size_t c = 0; c < k; ++c) widest = std::max(widest, norms[key_index(keys[c])]);
  const float err = margin * (norms[i] + widest);
  if (err <= kRefineShare * key_dist(keys[0])) return false;
  const float upper = key_dist(keys[k - 1]) + err;
  const float* own = data.row(ids[i]);
  const SqL2Fn dist = sq_l2_kernel();
  for (std::size_t j = 0; j < leaf.t; ++j) {
    if (j == i || row[j] - margin * (norms[i] + norms[j]) > upper) continue;
    const float s = dist(own, data.row(ids[j]), data.d);
    row[j] = s > 0.0f ? s : 0.0f;  // NaN to 0, as the kernel does
  }
  return true;
}

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
  const float margin = product_margin(data.d);
  const std::size_t block_rows = std::max<std::size_t>(256, kBlockCells / t);
  for (std::size_t r0 = 0; r0 < t; r0 += block_rows) {
    const std::size_t r1 = std::min(t, r0 + block_rows);
    scratch.block.resize((r1 - r0) * t);
    leaf_products_rows(scratch.leaf, r0, r1, scratch.block.data());
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
      // Each row is finished and consumed at once, while it is still in cache.
      float* row = scratch.block.data() + (i - r0) * t;
      finish_leaf_row(scratch.leaf, i, row);
      const std::uint64_t* keys = nearest_leaf_keys(row, t, i, k, scratch.nearest);
      if (refine_leaf_row(data, ids, scratch.leaf, i, keys, k, margin, row)) {
        keys = nearest_leaf_keys(row, t, i, k, scratch.nearest);
      }
      const float* own = scratch.proj.data() + i * m;
      const PointId p = ids[i];
      std::lock_guard<std::mutex> lock(store.locks[p]);
      Reservoir& reservoir = store.reservoirs[p];
      for (std::size_t c = 0; c < k; ++c) {
        const std::size_t q = key_index(keys[c]);
        reservoir.insert(ids[q], relative_code(scratch.proj.data() + q * m, own, m),
                         key_dist(keys[c]));
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
        cancellation_point();
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
      cancellation_point();
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
