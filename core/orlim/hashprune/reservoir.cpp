#include "orlim/hashprune/reservoir.hpp"

#include <algorithm>
#include <cmath>

#include "orlim/failure.hpp"
#include "orlim/hashprune/bf16.hpp"

namespace orlim {

namespace {

// The one tie rule of the reservoir: nearer wins, equal distances go to the smaller id. NaN
// compares false both ways, so a NaN candidate never displaces and a NaN slot is never displaced.
bool displaces(float dist, PointId id, float held_dist, PointId held_id) {
  return dist < held_dist || (dist == held_dist && id < held_id);
}

}  // namespace

Reservoir::Reservoir(std::size_t capacity) : capacity_(capacity) { slots_.reserve(capacity); }

void Reservoir::insert(PointId id, std::uint16_t hash, float dist) {
  const std::uint16_t stored = to_bf16(dist);
  const float widened = from_bf16(stored);
  const bool full = slots_.size() == capacity_;
  if (full) {
    if (capacity_ == 0) fail("reservoir insert: capacity is 0");
    // The worst slot is the largest in (dist, id) order, so a candidate that does not beat it
    // beats no slot, its own code's included. Most offers to a full reservoir end here. (A NaN
    // slot breaks that order, but it can never be displaced, and into_sorted rejects it.)
    const Slot& worst = slots_[worst_];
    if (!displaces(widened, id, from_bf16(worst.dist), worst.id)) return;
  }

  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (slot.hash != hash) continue;
    if (displaces(widened, id, from_bf16(slot.dist), slot.id)) {
      slot.id = id;
      slot.dist = stored;
      if (full && i == worst_) find_worst();
    }
    return;
  }

  if (!full) {
    slots_.push_back(Slot{id, hash, stored});  // within the reserved storage: no allocation
    if (slots_.size() == capacity_) find_worst();
    return;
  }
  slots_[worst_] = Slot{id, hash, stored};  // the slot now stands for the new code
  find_worst();
}

void Reservoir::find_worst() {
  std::size_t worst = 0;
  float worst_dist = from_bf16(slots_[0].dist);
  for (std::size_t i = 1; i < slots_.size(); ++i) {
    const float d = from_bf16(slots_[i].dist);
    if (d > worst_dist || (d == worst_dist && slots_[i].id > slots_[worst].id)) {
      worst = i;
      worst_dist = d;
    }
  }
  worst_ = worst;
}

void Reservoir::into_sorted(std::vector<Neighbor>& out) {
  out.clear();
  out.reserve(slots_.size());
  for (const Slot& slot : slots_) {
    const float dist = from_bf16(slot.dist);
    if (std::isnan(dist)) fail("reservoir holds a NaN distance");
    out.push_back(Neighbor{slot.id, dist});
  }
  std::vector<Slot>().swap(slots_);
  capacity_ = 0;
  worst_ = 0;
  // Without NaN, pairs equal under (dist, id) are identical, so stability cannot show.
  std::sort(out.begin(), out.end(), closer);
}

}  // namespace orlim
