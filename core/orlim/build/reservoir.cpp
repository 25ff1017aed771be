#include "orlim/build/reservoir.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <emmintrin.h>

#include "orlim/base/failure.hpp"
#include "orlim/build/bf16.hpp"
#include "orlim/base/select.hpp"

namespace orlim {

namespace {

// The one tie rule of the reservoir: nearer wins, equal distances go to the smaller id. NaN
// compares false both ways, so a NaN candidate never displaces and a NaN slot is never displaced.
bool displaces(float dist, PointId id, float held_dist, PointId held_id) {
  return dist < held_dist || (dist == held_dist && id < held_id);
}

bool is_nan_bf16(std::uint16_t bits) { return (bits & 0x7FFF) > 0x7F80; }

// The index of the slot holding `hash`, or `count` when none does. Four slots per step: the hash
// is the third 16-bit field of each 8-byte slot.
std::size_t find_hash(const Slot* slots, std::size_t count, std::uint16_t hash) {
  static_assert(offsetof(Slot, hash) == 4);
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(hash));
  constexpr int kHashBytes = 0x3030;  // bytes 4-5 and 12-13 of a pair of slots
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + i + 2));
    const int hits = (_mm_movemask_epi8(_mm_cmpeq_epi16(a, wanted)) & kHashBytes) |
                     ((_mm_movemask_epi8(_mm_cmpeq_epi16(b, wanted)) & kHashBytes) << 16);
    if (hits != 0)
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits))) / 8;
  }
  for (; i < count; ++i) {
    if (slots[i].hash == hash) return i;
  }
  return count;
}

// A slot's place in (distance, id) order as one 48-bit integer, for slots without NaN: the
// distance's bfloat16 bits made to order like the values (negative values flipped, both zeros
// equal) above the id.
std::uint64_t order_key(const Slot& slot) {
  std::uint32_t d = slot.dist;
  if ((d & 0x7FFF) == 0) d = 0;
  d = (d & 0x8000) != 0 ? (~d & 0xFFFF) : (d | 0x8000);
  return (static_cast<std::uint64_t>(d) << 32) | slot.id;
}

// Reservoirs up to this capacity are sorted in a buffer on the stack.
constexpr std::size_t kMaxSortedOnStack = 128;

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

  has_nan_ = has_nan_ || is_nan_bf16(stored);
  const std::size_t i = find_hash(slots_.data(), slots_.size(), hash);
  if (i < slots_.size()) {
    Slot& slot = slots_[i];
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
  if (!has_nan_) {
    // Without NaN the order is total, and a branch-free scan of integer keys finds its maximum.
    std::size_t worst = 0;
    std::uint64_t worst_key = order_key(slots_[0]);
    for (std::size_t i = 1; i < slots_.size(); ++i) {
      const std::uint64_t key = order_key(slots_[i]);
      worst = key > worst_key ? i : worst;
      worst_key = std::max(key, worst_key);
    }
    worst_ = worst;
    return;
  }
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
  // Slots become distinct keys ordered like (distance, id): the distance's place in value order
  // (both zeros equal), then the id, then the distance's own bits to restore it afterwards.
  const std::size_t count = slots_.size();
  std::uint64_t keys[2 * kMaxSortedOnStack];
  std::vector<std::uint64_t> heap;
  std::uint64_t* buffer = keys;
  if (count > kMaxSortedOnStack) {
    heap.resize(2 * count);
    buffer = heap.data();
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Slot& slot = slots_[i];
    if (is_nan_bf16(slot.dist)) fail("reservoir holds a NaN distance");
    buffer[i] = (order_key(slot) << 16) | slot.dist;
  }
  sort_distinct(buffer, count, buffer + count);
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = Neighbor{static_cast<PointId>(buffer[i] >> 16),
                      from_bf16(static_cast<std::uint16_t>(buffer[i]))};
  }
  std::vector<Slot>().swap(slots_);
  capacity_ = 0;
  worst_ = 0;
  has_nan_ = false;
}

}  // namespace orlim
