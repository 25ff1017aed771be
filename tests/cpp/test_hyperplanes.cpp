#include "orlim/build/hyperplanes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "data/hyperplanes_golden.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/rng.hpp"

namespace orlim {
namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

TEST(Hyperplanes, EntriesMatchReferenceBitForBit) {
  for (const auto& c : golden::kHyperplanes) {
    const Hyperplanes h(c.m, c.d, c.seed);
    ASSERT_EQ(h.m, c.m);
    ASSERT_EQ(h.d, c.d);
    ASSERT_EQ(h.planes.size(), c.entries.size());
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
      std::uint32_t want = c.entries[i];
#if !(defined(__GLIBC__) && defined(__x86_64__))
      // Another libm may round logf/cosf correctly where glibc does not.
      for (const auto& alt : c.alternatives) {
        if (alt.index == i && bits(h.planes[i]) == alt.entry) want = alt.entry;
      }
#endif
      EXPECT_EQ(bits(h.planes[i]), want) << "m=" << c.m << " d=" << c.d << " entry " << i;
    }
  }
}

TEST(Hyperplanes, PlaneCountLimit) {
  try {
    Hyperplanes(17, 4, 0);
    ADD_FAILURE() << "m = 17 accepted";
  } catch (const Failure& e) {
    EXPECT_STREQ(e.what(), "m must be <= 16 (code packs into u16)");
  }
  EXPECT_EQ(Hyperplanes(16, 4, 0).planes.size(), 64u);
  EXPECT_TRUE(Hyperplanes(0, 4, 0).planes.empty());
}

std::vector<float> random_values(std::size_t count, std::uint64_t seed) {
  Rng rng(seed);
  std::vector<float> out(count);
  for (float& v : out) v = static_cast<float>(rng.next_u32() >> 8) * 0x1p-23f - 1.0f;
  return out;
}

TEST(Hyperplanes, ProjectionsAreInOrderDotProducts) {
  // The vectorised pass must give exactly the sequential float32 sums, for any m, for d that is
  // not a multiple of the vector width, and over several parallel blocks (n = 3000).
  struct Shape {
    std::size_t n, d, m;
  };
  for (const Shape s : {Shape{9, 37, 12}, Shape{5, 1, 16}, Shape{4, 128, 1}, Shape{3, 6, 0},
                        Shape{2, 0, 5}, Shape{3000, 7, 16}}) {
    const auto values = random_values(s.n * s.d, s.d * 31 + s.m);
    for (const Metric metric : {Metric::Euclidean, Metric::Cosine}) {
      const Dataset data(values, s.n, s.d, metric);
      const Hyperplanes h(s.m, s.d, 42);
      const Projections proj = sketch_all(h, data);
      ASSERT_EQ(proj.m, s.m);
      ASSERT_EQ(proj.values.size(), s.n * s.m);
      for (std::size_t p = 0; p < s.n; ++p) {
        for (std::size_t j = 0; j < s.m; ++j) {
          float want = 0.0f;
          for (std::size_t i = 0; i < s.d; ++i) want += h.planes[j * s.d + i] * data.row(p)[i];
          EXPECT_EQ(bits(proj.row(p)[j]), bits(want))
              << "n=" << s.n << " d=" << s.d << " m=" << s.m << " p=" << p << " j=" << j;
        }
      }
    }
  }
}

TEST(Hyperplanes, SketchRejectsDimensionMismatch) {
  const std::vector<float> values(12, 1.0f);
  const Dataset data(values, 3, 4, Metric::Euclidean);
  EXPECT_THROW(sketch_all(Hyperplanes(4, 5, 0), data), Failure);
}

TEST(Hyperplanes, RelativeCodeBits) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<float> q, p;
    std::uint16_t code;
  };
  const std::vector<Case> cases = {
      {"no planes", {}, {}, 0},
      {"bit j set when q is on the positive side", {1, -1, 2}, {0, 0, 0}, 0b101},
      {"equal projections count as non-negative", {0.5f, -0.0f}, {0.5f, 0.0f}, 0b11},
      {"the difference decides, not the signs", {-1, 3}, {-2, 4}, 0b01},
      {"NaN gives 0", {kNaN, 1, kNaN}, {0, 0, 1}, 0b010},
      {"all 16 bits", std::vector<float>(16, 1.0f), std::vector<float>(16, 0.0f), 0xFFFF},
      {"bit 15 alone",
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
       std::vector<float>(16, 0.5f),
       0x8000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relative_code(c.q.data(), c.p.data(), c.q.size()), c.code) << c.name;
  }
}

TEST(Hyperplanes, CodesSplitNeighboursByDirection) {
  // Points on opposite sides of p get complementary codes under m = 16 planes (no projection
  // difference is exactly 0 for these values), and every code leaves no bit above m set.
  const std::vector<float> values = {0.0f,  0.0f,  0.0f,   // p
                                     1.0f,  2.0f,  -0.5f,  // p + v
                                     -1.0f, -2.0f, 0.5f};  // p - v
  const Dataset data(values, 3, 3, Metric::Euclidean);
  const Projections proj = sketch_all(Hyperplanes(16, 3, 9), data);
  const std::uint16_t forward = relative_code(proj, 1, 0);
  const std::uint16_t backward = relative_code(proj, 2, 0);
  EXPECT_EQ(forward ^ backward, 0xFFFF);
  EXPECT_EQ(relative_code(proj, 0, 0), 0xFFFF) << "a point seen from itself is all ones";

  const Projections few = sketch_all(Hyperplanes(5, 3, 9), data);
  EXPECT_EQ(relative_code(few, 1, 0) & ~0x1Fu, 0u);
}

}  // namespace
}  // namespace orlim
