// One point's bounded store of candidate neighbours (HashPrune). Candidates are bucketed by their
// relative code (hyperplanes.hpp): a reservoir keeps at most one slot per code, the nearest
// candidate seen with it, and at most `capacity` slots; when it is full a new code displaces the
// farthest slot, but only when the newcomer is nearer. Distances are stored as bfloat16, so every
// comparison here treats distances equal at bfloat16 precision as ties, broken by smaller id.
//
// The slot storage is reserved in full at construction and insert never allocates. No internal
// locking: the build wraps each reservoir in its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orlim/base/types.hpp"

namespace orlim {

struct Slot {
  PointId id;
  std::uint16_t hash;  // relative code of `id` seen from the reservoir's owner
  std::uint16_t dist;  // squared distance from the owner, bfloat16 bits (bf16.hpp)
};
static_assert(sizeof(Slot) == 8, "all reservoirs together take n * capacity * 8 bytes");

// Invariants: no two slots share a hash (so at most min(capacity, 2^m) slots), and
// slots().size() <= capacity().
class Reservoir {
 public:
  Reservoir() = default;  // capacity 0: holds nothing and must not be offered candidates
  explicit Reservoir(std::size_t capacity);

  // Offers candidate `id` with relative code `hash` at squared distance `dist`:
  // - a slot with the same hash takes the candidate when it is nearer, or as near with a
  //   smaller id;
  // - otherwise a free slot takes it;
  // - otherwise it replaces the worst slot (largest distance, ties to the largest id) when it
  //   is nearer than that slot, or as near with a smaller id; else it is dropped.
  // Fails when the capacity is 0.
  void insert(PointId id, std::uint16_t hash, float dist);

  // Replaces `out` by the slots as (id, distance) pairs, ascending by distance, ties by id, and
  // releases the storage: afterwards the reservoir is empty with capacity 0. A NaN distance
  // (which the leaf kernel never produces) is a broken invariant.
  void into_sorted(std::vector<Neighbor>& out);

  std::span<const Slot> slots() const { return slots_; }
  std::size_t capacity() const { return capacity_; }

 private:
  // Points worst_ at the slot that is largest in (dist, id) order.
  void find_worst();

  std::vector<Slot> slots_;  // reserved to capacity_ up front
  std::size_t capacity_ = 0;
  std::size_t worst_ = 0;  // index of the worst slot; kept up to date while the reservoir is full
  bool has_nan_ = false;   // a NaN distance was ever stored: the worst is then found by the rule
};

}  // namespace orlim
