// Alpha pruning of one point's candidate list down to a bounded set of diverse out-edges.
//
// Reads the Dataset only. The candidate list, the output row and the scratch belong to the
// calling task, so calls for different points run concurrently without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Working state of one task, reused for every point the task prunes: after the first few points
// it has grown to the longest candidate list and pruning allocates nothing more.
struct PruneScratch {
  std::vector<std::uint32_t> alive;  // one flag per remaining candidate: all ones or zero
  std::vector<std::size_t> rest;     // positions still alive after the latest choice
  std::vector<float> rows;           // the candidates' vectors less p's, gathered
  std::vector<float> gram;           // their dot products (upper triangle)
  std::vector<float> norms;          // their squared norms, in list order
  std::vector<float> dists;          // their stored distances from p, in list order
};

// Prunes the candidates of point p and writes the chosen ids to out[0 .. count), where out.size()
// is the degree bound r; returns count. Candidates are (id, squared distance from p) with ids
// below data.n (else Failure); the stored distances are trusted, not recomputed.
//
// The list is sorted in place by (distance, id), NaN distances last, and every entry for p is
// removed. Walking it in that order, a candidate is chosen unless an earlier chosen neighbour c
// has dist(p, u)^2 > alpha^2 * dist(c, u)^2; the walk stops at r choices. The output is therefore
// a subsequence of the sorted list, nearest first, and holds the first candidate whenever r >= 1.
std::size_t robust_prune_into(const Dataset& data, PointId p, std::vector<Neighbor>& candidates,
                              float alpha, std::span<PointId> out, PruneScratch& scratch);

// The same rule, returning at most r ids in a new list.
std::vector<PointId> robust_prune(const Dataset& data, PointId p, std::vector<Neighbor>& candidates,
                                  std::size_t r, float alpha);

}  // namespace orlim
