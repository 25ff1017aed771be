// The working k-NN lists of a self-kNN refinement: per point a fixed number of the nearest other
// points found so far, sorted by (distance, id), each entry flagged while it has not yet taken part
// in a local join.
//
// Rows are updated concurrently by the workers of a join: each row has its own spin lock, and its
// current worst distance is kept apart so that most offers, which lose against it, are turned away
// without taking the lock. Between joins the rows are read and their flags cleared without locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "orlim/base/types.hpp"

namespace orlim {

class NeighborLists {
 public:
  // n rows of `width` empty slots (id kNoPoint, distance +infinity, not fresh).
  NeighborLists(std::size_t n, std::size_t width);

  std::size_t size() const { return n_; }
  std::size_t width() const { return width_; }

  // Row p, nearest first; padding slots hold (kNoPoint, +infinity).
  std::span<const Neighbor> row(std::size_t p) const {
    return {entries_.data() + p * width_, width_};
  }
  std::span<const std::uint8_t> fresh(std::size_t p) const {
    return {fresh_.data() + p * width_, width_};
  }
  std::span<std::uint8_t> fresh(std::size_t p) { return {fresh_.data() + p * width_, width_}; }

  // The distance key (dist_key) of row p's last entry; +infinity while the row is not full. May
  // be read while other workers offer to the row.
  float worst(PointId p) const {
    return std::atomic_ref<float>(const_cast<float&>(worst_[p])).load(std::memory_order_relaxed);
  }

  // Puts q at squared distance `dist` into row p, flagged fresh, when it is not there yet and is
  // nearer in (distance, id) order than the row's last entry, which then drops out. Returns
  // whether the row changed. Safe to call from several workers at once.
  bool offer(PointId p, PointId q, float dist) {
    // A stale worst can only be larger than the current one: the locked insert checks again.
    if (dist_key(dist) > worst(p)) return false;
    return offer_locked(p, q, dist);
  }

  // Asks for the cache lines an offer to row p reads, ahead of it.
  void prefetch(PointId p) const {
    __builtin_prefetch(&worst_[p]);
    const Neighbor* row = entries_.data() + std::size_t{p} * width_;
    __builtin_prefetch(row);
    __builtin_prefetch(row + width_ - 1);  // the last entry, read first
  }

  // The same without the lock, for a row only the caller touches.
  bool insert(PointId p, PointId q, float dist);

  // Empties row p (no lock: for a row only the caller touches).
  void clear(PointId p);

 private:
  bool offer_locked(PointId p, PointId q, float dist);

  std::size_t n_;
  std::size_t width_;
  std::vector<Neighbor> entries_;    // n * width: ids and distances side by side, one row a miss
  std::vector<std::uint8_t> fresh_;  // n * width: 1 while the entry has not been joined
  std::vector<float> worst_;         // dist_key of each row's last entry, read without the lock
  std::unique_ptr<std::atomic<std::uint8_t>[]> locks_;  // 1 while a worker updates the row
};

}  // namespace orlim
