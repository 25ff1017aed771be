#include "orlim/build/reservoir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "data/bf16_golden.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/build/bf16.hpp"
#include "orlim/base/rng.hpp"

namespace orlim {
namespace {

float bits_to_float(std::uint32_t bits) { return std::bit_cast<float>(bits); }

TEST(Bf16, NarrowingMatchesReferenceBitForBit) {
  for (const auto& c : golden::kF32ToBf16) {
    EXPECT_EQ(to_bf16(bits_to_float(c.f32)), c.bf16)
        << c.note << " (0x" << std::hex << c.f32 << ")";
  }
}

TEST(Bf16, WideningMatchesReferenceBitForBit) {
  for (const auto& c : golden::kBf16ToF32) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(from_bf16(c.bf16)), c.f32)
        << c.note << " (0x" << std::hex << c.bf16 << ")";
  }
}

// One candidate offered to a reservoir.
struct Offer {
  PointId id;
  std::uint16_t hash;
  float dist;
};

// What a reservoir is expected to hold, as (id, hash, widened distance), in slot order.
struct Held {
  PointId id;
  std::uint16_t hash;
  float dist;
};

std::vector<Held> contents(const Reservoir& r) {
  std::vector<Held> out;
  for (const Slot& s : r.slots()) out.push_back({s.id, s.hash, from_bf16(s.dist)});
  return out;
}

// 1.0 and 1.0 + 2^-10 are the same bfloat16 (8 significant bits), so they tie in a reservoir.
constexpr float kOne = 1.0f;
constexpr float kOneBlurred = 1.0f + 0x1p-10f;

struct TieCase {
  const char* name;
  std::size_t capacity;
  std::vector<Offer> offers;
  std::vector<Held> expected;
};

TEST(Reservoir, TieRulesAndReplacement) {
  const std::vector<TieCase> cases = {
      {"same code, farther: nothing changes", 4, {{7, 3, 2.0f}, {5, 3, 2.5f}}, {{7, 3, 2.0f}}},
      {"same code, nearer: overwrites its own slot",
       4,
       {{7, 3, 2.0f}, {9, 1, 3.0f}, {5, 3, 1.5f}},
       {{5, 3, 1.5f}, {9, 1, 3.0f}}},
      {"same id again, nearer", 4, {{7, 3, 2.0f}, {7, 3, 1.0f}}, {{7, 3, 1.0f}}},
      {"same code, equal after rounding, smaller id wins",
       4,
       {{7, 3, kOneBlurred}, {5, 3, kOne}},
       {{5, 3, kOne}}},
      {"same code, equal after rounding, larger id loses",
       4,
       {{5, 3, kOne}, {7, 3, kOne - 0x1p-12f}},
       {{5, 3, kOne}}},
      {"full: a nearer new code replaces the worst slot and takes its place",
       2,
       {{1, 10, 1.0f}, {2, 20, 4.0f}, {3, 30, 2.0f}},
       {{1, 10, 1.0f}, {3, 30, 2.0f}}},
      {"full: a farther new code is dropped",
       2,
       {{1, 10, 1.0f}, {2, 20, 4.0f}, {3, 30, 5.0f}},
       {{1, 10, 1.0f}, {2, 20, 4.0f}}},
      {"full: equal to the worst, smaller id replaces it",
       2,
       {{1, 10, 1.0f}, {8, 20, kOne * 4}, {6, 30, kOneBlurred * 4}},
       {{1, 10, 1.0f}, {6, 30, 4.0f}}},
      {"full: equal to the worst, larger id is dropped",
       2,
       {{1, 10, 1.0f}, {6, 20, 4.0f}, {8, 30, 4.0f}},
       {{1, 10, 1.0f}, {6, 20, 4.0f}}},
      {"full: of two equally far slots the larger id is the worst",
       3,
       {{4, 10, 3.0f}, {9, 20, 3.0f}, {2, 30, 1.0f}, {5, 40, 2.0f}},
       {{4, 10, 3.0f}, {5, 40, 2.0f}, {2, 30, 1.0f}}},
      {"full: a code displaced earlier can come back",
       1,
       {{1, 10, 2.0f}, {2, 20, 1.0f}, {3, 10, 0.5f}},
       {{3, 10, 0.5f}}},
      {"full: an existing code is updated in place, not treated as new",
       2,
       {{1, 10, 1.0f}, {2, 20, 4.0f}, {3, 20, 3.0f}},
       {{1, 10, 1.0f}, {3, 20, 3.0f}}},
  };
  for (const auto& c : cases) {
    Reservoir r(c.capacity);
    for (const Offer& o : c.offers) r.insert(o.id, o.hash, o.dist);
    const auto got = contents(r);
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].id, c.expected[i].id) << c.name << " slot " << i;
      EXPECT_EQ(got[i].hash, c.expected[i].hash) << c.name << " slot " << i;
      EXPECT_EQ(got[i].dist, c.expected[i].dist) << c.name << " slot " << i;
    }
  }
}

// A fixed pseudo-random stream of offers; a candidate's code depends on its id only, as in a
// build (q always has the same code relative to p).
std::vector<Offer> offer_stream(std::uint64_t seed, std::size_t count, PointId ids,
                                std::uint32_t codes) {
  Rng rng(seed);
  std::vector<std::uint16_t> code_of(ids);
  for (auto& code : code_of) code = static_cast<std::uint16_t>(uniform_index(rng, codes));
  std::vector<Offer> out;
  for (std::size_t i = 0; i < count; ++i) {
    const auto id = static_cast<PointId>(uniform_index(rng, ids));
    // Few distinct distances, so bfloat16 ties are common.
    const float dist = static_cast<float>(uniform_index(rng, 64)) * 0.37f;
    out.push_back({id, code_of[id], dist});
  }
  return out;
}

bool before(const Offer& a, const Offer& b) {
  const float da = from_bf16(to_bf16(a.dist));
  const float db = from_bf16(to_bf16(b.dist));
  return da < db || (da == db && a.id < b.id);
}

TEST(Reservoir, NeverFullKeepsTheNearestOfEveryCode) {
  // 32 codes into 64 slots: the reservoir never fills, so each code's slot must end up holding
  // that code's best candidate in (bfloat16 distance, id) order, whatever the arrival order.
  const auto offers = offer_stream(11, 2000, 500, 32);
  Reservoir r(64);
  std::map<std::uint16_t, Offer> best;
  for (const Offer& o : offers) {
    r.insert(o.id, o.hash, o.dist);
    auto [it, fresh] = best.try_emplace(o.hash, o);
    if (!fresh && before(o, it->second)) it->second = o;
  }
  ASSERT_EQ(r.slots().size(), best.size());
  for (const Slot& s : r.slots()) {
    const Offer& want = best.at(s.hash);
    EXPECT_EQ(s.id, want.id) << "code " << s.hash;
    EXPECT_EQ(s.dist, to_bf16(want.dist)) << "code " << s.hash;
  }
}

TEST(Reservoir, DistinctCodesKeepTheCapacityNearest) {
  // Every candidate has its own code, so a full reservoir is a bounded best-k selection: the
  // result must be the `capacity` smallest candidates in (bfloat16 distance, id) order.
  Rng rng(5);
  std::vector<Offer> offers;
  for (PointId id = 0; id < 3000; ++id) {
    offers.push_back(
        {id, static_cast<std::uint16_t>(id), static_cast<float>(uniform_index(rng, 40))});
  }
  shuffle(std::span<Offer>(offers), rng);
  Reservoir r(64);
  for (const Offer& o : offers) r.insert(o.id, o.hash, o.dist);

  std::sort(offers.begin(), offers.end(), before);
  std::set<PointId> want, got;
  for (std::size_t i = 0; i < 64; ++i) want.insert(offers[i].id);
  for (const Slot& s : r.slots()) got.insert(s.id);
  EXPECT_EQ(got, want);
}

TEST(Reservoir, InvariantsHoldForAnyStream) {
  struct Shape {
    std::size_t capacity;
    std::uint32_t codes;  // 2^m
  };
  for (const Shape shape :
       {Shape{64, 1u << 12}, Shape{64, 16}, Shape{8, 1}, Shape{1, 1u << 16}, Shape{64, 1u << 16}}) {
    const auto offers = offer_stream(shape.codes + shape.capacity, 5000, 4000, shape.codes);
    Reservoir r(shape.capacity);
    const Slot* storage = r.slots().data();
    for (const Offer& o : offers) r.insert(o.id, o.hash, o.dist);

    EXPECT_LE(r.slots().size(), std::min<std::size_t>(shape.capacity, shape.codes));
    EXPECT_EQ(r.slots().data(), storage) << "insert reallocated the slot storage";
    std::set<std::uint16_t> hashes;
    std::set<PointId> ids;
    for (const Slot& s : r.slots()) {
      EXPECT_TRUE(hashes.insert(s.hash).second) << "hash " << s.hash << " held twice";
      EXPECT_TRUE(ids.insert(s.id).second) << "id " << s.id << " held twice";
    }
  }
}

// The insert rule written out step by step, rescanning for the worst slot every time, as the
// reference for the reservoir (which keeps its worst slot cached and rejects early).
void reference_insert(std::vector<Slot>& slots, std::size_t capacity, const Offer& o) {
  const std::uint16_t e = to_bf16(o.dist);
  const float f = from_bf16(e);
  for (Slot& s : slots) {
    if (s.hash == o.hash) {
      const float held = from_bf16(s.dist);
      if (f < held || (f == held && o.id < s.id)) s = Slot{o.id, s.hash, e};
      return;
    }
  }
  if (slots.size() < capacity) {
    slots.push_back(Slot{o.id, o.hash, e});
    return;
  }
  std::size_t w = 0;
  for (std::size_t i = 1; i < slots.size(); ++i) {
    const float di = from_bf16(slots[i].dist), dw = from_bf16(slots[w].dist);
    if (di > dw || (di == dw && slots[i].id > slots[w].id)) w = i;
  }
  const float dw = from_bf16(slots[w].dist);
  if (f < dw || (f == dw && o.id < slots[w].id)) slots[w] = Slot{o.id, o.hash, e};
}

TEST(Reservoir, FollowsTheStepByStepRuleOnLongStreams) {
  // Full reservoirs with many repeated codes: updates of the worst slot itself, displacement of
  // the worst, re-admitted codes, and bfloat16 ties all happen many times in these streams.
  struct Shape {
    std::size_t capacity;
    std::uint32_t codes;
    PointId ids;
  };
  for (const Shape shape : {Shape{8, 12, 40}, Shape{64, 128, 400}, Shape{64, 1u << 12, 3000},
                            Shape{3, 4, 10}, Shape{1, 2, 6}}) {
    const auto offers = offer_stream(shape.ids * 7 + shape.capacity, 20000, shape.ids, shape.codes);
    Reservoir r(shape.capacity);
    std::vector<Slot> want;
    for (std::size_t k = 0; k < offers.size(); ++k) {
      r.insert(offers[k].id, offers[k].hash, offers[k].dist);
      reference_insert(want, shape.capacity, offers[k]);
      const auto got = r.slots();
      ASSERT_EQ(got.size(), want.size()) << "capacity " << shape.capacity << " offer " << k;
      for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_TRUE(got[i].id == want[i].id && got[i].hash == want[i].hash &&
                    got[i].dist == want[i].dist)
            << "capacity " << shape.capacity << " offer " << k << " slot " << i;
      }
    }
  }
}

TEST(Reservoir, SingleCodeKeepsOnlyTheNearest) {
  // With m = 0 every code is 0: one slot, the nearest candidate, ties to the smaller id.
  Reservoir r(64);
  for (const Offer o : {Offer{9, 0, 3.0f}, Offer{4, 0, 1.0f}, Offer{6, 0, 2.0f}, Offer{2, 0, 1.0f},
                        Offer{3, 0, 1.0f}}) {
    r.insert(o.id, o.hash, o.dist);
  }
  ASSERT_EQ(r.slots().size(), 1u);
  EXPECT_EQ(r.slots()[0].id, 2u);
}

TEST(Reservoir, InsertIntoCapacityZeroFails) {
  Reservoir r(0);
  EXPECT_THROW(r.insert(1, 0, 1.0f), Failure);
  Reservoir defaulted;
  EXPECT_THROW(defaulted.insert(1, 0, 1.0f), Failure);
}

TEST(Reservoir, IntoSortedOrdersByDistanceThenId) {
  Reservoir r(8);
  // 2.0 and 2.0 + 2^-9 tie after rounding, so ids 3 and 8 order by id; 0.1 comes back widened.
  r.insert(8, 1, 2.0f);
  r.insert(5, 2, 7.0f);
  r.insert(3, 3, 2.0f + 0x1p-9f);
  r.insert(6, 4, 0.1f);
  r.insert(1, 5, 7.5f);
  std::vector<Neighbor> out = {{99, 99.0f}};  // stale content must go
  r.into_sorted(out);

  const std::vector<std::pair<PointId, float>> want = {
      {6, from_bf16(to_bf16(0.1f))}, {3, 2.0f}, {8, 2.0f}, {5, 7.0f}, {1, 7.5f}};
  ASSERT_EQ(out.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(out[i].id, want[i].first) << i;
    EXPECT_EQ(out[i].dist, want[i].second) << i;
  }
  EXPECT_TRUE(r.slots().empty());
  EXPECT_EQ(r.capacity(), 0u) << "a drained reservoir takes no more inserts";
}

TEST(Reservoir, IntoSortedOfEmptyIsEmpty) {
  Reservoir r(16);
  std::vector<Neighbor> out = {{1, 1.0f}};
  r.into_sorted(out);
  EXPECT_TRUE(out.empty());
}

TEST(Reservoir, IntoSortedRejectsNaN) {
  Reservoir r(4);
  r.insert(1, 0, 1.0f);
  r.insert(2, 1, std::numeric_limits<float>::quiet_NaN());
  std::vector<Neighbor> out;
  EXPECT_THROW(r.into_sorted(out), Failure);
}

}  // namespace
}  // namespace orlim
