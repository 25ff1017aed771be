#include "orlim/search/leaf_start.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "orlim/base/parallel.hpp"
#include "orlim/base/rng.hpp"
#include "orlim/build/ball_carving.hpp"
#include "orlim/build/leaf_nearest.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/kernels/gemm.hpp"

namespace orlim {

namespace {

// Leaves up to this many members get one product for the whole matrix; larger ones (the halo can
// grow a leaf well past c_max) go in blocks of rows of about as many distances, as in the build.
constexpr std::size_t kWholeLeafMembers = 2048;
constexpr std::size_t kBlockCells = kWholeLeafMembers * kWholeLeafMembers;

// Per-task working state, reused for every leaf the task handles.
struct LeafScratch {
  LeafRows leaf;
  std::vector<float> block;  // distance rows of the current block of members
  NearestScratch nearest;
};

// Offers every member of one leaf its nearest leaf-mates: a member whose list is not yet full
// selects them from its row; a full one only offers the entries below its list's worst distance.
void leaf_offers(const Dataset& data, std::span<const PointId> ids, NeighborLists& lists,
                 LeafScratch& scratch) {
  const std::size_t t = ids.size();
  if (t <= 1) return;
  const std::size_t k = std::min(t - 1, lists.width());
  if (k == 0) return;
  gather_leaf(data, ids, scratch.leaf);
  const std::size_t block_rows = std::max<std::size_t>(256, kBlockCells / t);
  for (std::size_t r0 = 0; r0 < t; r0 += block_rows) {
    const std::size_t r1 = std::min(t, r0 + block_rows);
    scratch.block.resize((r1 - r0) * t);
    leaf_products_rows(scratch.leaf, r0, r1, scratch.block.data());
    for (std::size_t i = r0; i < r1; ++i) {
      float* row = scratch.block.data() + (i - r0) * t;
      finish_leaf_row(scratch.leaf, i, row);
      const PointId p = ids[i];
      const float worst = lists.worst(p);
      if (std::isinf(worst)) {
        const std::uint64_t* keys = nearest_leaf_keys(row, t, i, k, scratch.nearest);
        for (std::size_t c = 0; c < k; ++c) {
          lists.offer(p, ids[key_index(keys[c])], key_dist(keys[c]));
        }
        continue;
      }
      for (std::size_t j = 0; j < t; ++j) {
        if (row[j] <= worst && j != i) lists.offer(p, ids[j], row[j]);
      }
    }
  }
}

// Replaces each row's leaf distances by exact ones, in the order they give.
void measure_exactly(const Dataset& data, NeighborLists& lists) {
  parallel_for_blocks(data.n, 64, [&](std::size_t lo, std::size_t hi) {
    const SqL2x4Fn x4 = sq_l2_x4_kernel();
    std::vector<PointId> ids(lists.width());
    for (std::size_t p = lo; p < hi; ++p) {
      std::size_t count = 0;
      for (const Neighbor& e : lists.row(p)) {
        if (e.id != kNoPoint) ids[count++] = e.id;
      }
      lists.clear(static_cast<PointId>(p));
      const float* a = data.row(p);
      for (std::size_t t = 0; t < count; t += 4) {
        const float* b[4];
        for (std::size_t r = 0; r < 4; ++r) b[r] = data.row(ids[std::min(t + r, count - 1)]);
        float out[4];
        x4(a, b, data.d, out);
        for (std::size_t r = 0; r < std::min<std::size_t>(4, count - t); ++r) {
          lists.insert(static_cast<PointId>(p), ids[t + r], out[r]);
        }
      }
    }
  });
}

// Every point once, in the order of its first appearance among the leaves' members.
std::vector<PointId> leaf_order(const Leaves& leaves, std::size_t n) {
  std::vector<PointId> order;
  order.reserve(n);
  std::vector<std::uint8_t> seen(n, 0);
  for (const PointId p : leaves.members) {
    if (seen[p] != 0) continue;
    seen[p] = 1;
    order.push_back(p);
  }
  return order;
}

}  // namespace

void fill_from_leaves(const Dataset& data, const BuildParams& params, NeighborLists& lists,
                      std::vector<PointId>* order) {
  if (data.n == 0 || lists.width() == 0) return;
  const std::size_t runs = std::max<std::size_t>(params.runs, 1);
  for (std::size_t j = 0; j < runs; ++j) {
    BuildParams run_params = params;
    run_params.seed = run_seed(params.seed, j);
    const Leaves leaves = partition(data, run_params);
    if (j == 0 && order != nullptr) *order = leaf_order(leaves, data.n);
    parallel_for_blocks(leaves.size(), 1, [&](std::size_t lo, std::size_t hi) {
      LeafScratch scratch;
      for (std::size_t l = lo; l < hi; ++l) leaf_offers(data, leaves.leaf(l), lists, scratch);
    });
  }
  measure_exactly(data, lists);
}

}  // namespace orlim
