#include "orlim/search/neighbor_lists.hpp"

#include <algorithm>
#include <limits>

#include <immintrin.h>

#include "orlim/base/failure.hpp"

namespace orlim {

NeighborLists::NeighborLists(std::size_t n, std::size_t width)
    : n_(n),
      width_(width),
      entries_(checked_mul(n, width, "neighbour lists"),
               Neighbor{kNoPoint, std::numeric_limits<float>::infinity()}),
      fresh_(n * width, 0),
      worst_(n, std::numeric_limits<float>::infinity()),
      locks_(std::make_unique<std::atomic<std::uint8_t>[]>(n)) {}

bool NeighborLists::insert(PointId p, PointId q, float dist) {
  const std::size_t w = width_;
  if (w == 0) return false;
  Neighbor* row = entries_.data() + p * w;
  std::uint8_t* fresh = fresh_.data() + p * w;
  const Neighbor cand{q, dist};
  if (!closer(cand, row[w - 1])) return false;
  for (std::size_t j = 0; j < w; ++j) {
    if (row[j].id == q) return false;
  }
  std::size_t i = w - 1;
  for (; i > 0 && closer(cand, row[i - 1]); --i) {
    row[i] = row[i - 1];
    fresh[i] = fresh[i - 1];
  }
  row[i] = cand;
  fresh[i] = 1;
  std::atomic_ref<float>(worst_[p]).store(dist_key(row[w - 1].dist), std::memory_order_relaxed);
  return true;
}

void NeighborLists::clear(PointId p) {
  const std::size_t w = width_;
  std::fill_n(entries_.data() + p * w, w,
              Neighbor{kNoPoint, std::numeric_limits<float>::infinity()});
  std::fill_n(fresh_.data() + p * w, w, std::uint8_t{0});
  std::atomic_ref<float>(worst_[p]).store(std::numeric_limits<float>::infinity(),
                                          std::memory_order_relaxed);
}

bool NeighborLists::offer_locked(PointId p, PointId q, float dist) {
  std::atomic<std::uint8_t>& lock = locks_[p];
  while (lock.exchange(1, std::memory_order_acquire) != 0) {
    while (lock.load(std::memory_order_relaxed) != 0) _mm_pause();
  }
  const bool changed = insert(p, q, dist);
  lock.store(0, std::memory_order_release);
  return changed;
}

}  // namespace orlim
