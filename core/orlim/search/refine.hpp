// Self-kNN by refinement: the build's leaf phase proposes candidates, and rounds of local joins
// (every pair of a point's neighbours and reverse neighbours is measured and offered to both)
// improve each point's list until few entries still change.
//
// No prune, no graph and no search: the leaf phase alone already leaves most true neighbours in
// the reservoirs, and a neighbour of a neighbour is the likeliest place for the rest. Compared
// with the searching producers, the work per point is a few dozen exact distances per round.
#pragma once

#include <cstddef>

#include "orlim/build/build_params.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/search/bruteforce.hpp"

namespace orlim {

struct RefineParams {
  // Entries kept per point besides itself while refining; values below k mean k. A longer list
  // finds more of the k nearest at a higher cost per round.
  std::size_t list_size = 0;
  // Reservoir candidates per point measured exactly to start the lists; 0 means twice the list
  // size. (The reservoirs order them at bfloat16 precision, so a few more than the list size
  // recover the ones rounding put just behind.)
  std::size_t init_candidates = 0;
  // Candidates per point and round, on each side (fresh and old); 0 means the list size.
  std::size_t sample = 0;
  // Upper bound on the rounds of local joins; 0 keeps the leaf phase's lists as they are.
  std::size_t max_rounds = 10;
  // Refinement stops after a round that changes fewer than this fraction of all list entries.
  float min_change = 0.001f;
};

// Approximate self-kNN of `data`: row i holds i itself, then up to k other points nearest first
// by (squared distance, id), without repeats; stride self_knn_stride(n, k), distances reported as
// reported_distance() of exact sq_l2 values. The leaf phase runs with `build` (m, l_max, c_max,
// fanout, runs, seed; the prune parameters are not read) and its seed also drives the sampling
// of the joins. Runs on the current pool; with one worker the result is reproducible for a seed,
// with more the order of concurrent updates can change it. Fails like the build on invalid
// leaf-phase parameters (m > 16, c_max = 0).
SelfKnn knn_self_refine(const Dataset& data, const BuildParams& build, const RefineParams& refine,
                        std::size_t k);

}  // namespace orlim
