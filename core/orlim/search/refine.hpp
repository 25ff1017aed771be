// Self-kNN by refinement: the build's partitions propose each point's first list (its nearest
// leaf-mates, leaf_start.hpp), and rounds of local joins (every pair of a point's neighbours and
// reverse neighbours is measured and offered to both) improve the lists until few entries still
// change.
//
// No reservoirs, no prune, no graph and no search: the leaves alone already hold most true
// neighbours, and a neighbour of a neighbour is the likeliest place for the rest. The work per
// point is a few dozen exact distances per round.
#pragma once

#include <cstddef>

#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/search/bruteforce.hpp"

namespace orlim {

struct RefineParams {
  // Entries kept per point besides itself while refining: 0 means k + 2, values below k mean k.
  // A longer list finds more of the k nearest at a higher cost per round; two spare entries buy
  // more recall than a round of joins costs on every data set measured (bench/micro/refine.cpp).
  std::size_t list_size = 0;
  // Candidates per point and round, on each side (fresh and old); 0 means the list size.
  std::size_t sample = 0;
  // Upper bound on the rounds of local joins; 0 keeps the starting lists as they are.
  std::size_t max_rounds = 12;
  // Refinement stops after a round that changes fewer than this fraction of all list entries.
  float min_change = 0.003f;
};

// The partition settings this strategy was tuned with: carved leaves of at most 512 points, each
// point also in its two next-nearest leaves. Against the build's 2048 and one extra leaf, the
// products cost less and the overlap lets the joins reach across more leaf borders: on the four
// benchmark sets at 100,000 points the call took 10-20 % less time at equal or higher recall.
BuildParams refine_build_params();

// Approximate self-kNN of `data`: row i holds i itself, then up to k other points nearest first
// by (squared distance, id), without repeats; stride self_knn_stride(n, k), distances reported as
// reported_distance() of exact sq_l2 values. Of `build`, the partitions read c_max, fanout, runs
// and seed (the seed also drives the sampling of the joins and the random padding of rows the
// leaves leave short); nothing else is read. Runs on the current pool; with one worker the result
// is reproducible for a seed, with more the order of concurrent updates can change it. Fails
// like the build on c_max = 0.
SelfKnn knn_self_refine(const Dataset& data, const BuildParams& build, const RefineParams& refine,
                        std::size_t k);

}  // namespace orlim
