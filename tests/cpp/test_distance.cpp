#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "orlim/kernels/distance.hpp"

namespace {

std::uint32_t bits(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

std::vector<float> random_values(std::size_t count, std::uint32_t seed, float scale) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, scale);
  std::vector<float> v(count);
  for (float& x : v) x = dist(gen);
  return v;
}

// The block structure written out by hand for d = 20: one 16-block, no 8-block, 4 tail values.
TEST(SqL2, FollowsTheFixedAssociationOrderForTwenty) {
  const auto a = random_values(20, 1, 3.0f);
  const auto b = random_values(20, 2, 3.0f);
  float s0[8], s1[8], t[8];
  for (int l = 0; l < 8; ++l) {
    const float x = a[l] - b[l];
    const float y = a[8 + l] - b[8 + l];
    s0[l] = 0.0f + x * x;
    s1[l] = 0.0f + y * y;
    t[l] = s0[l] + s1[l];
  }
  float s = (((t[0] + t[1]) + t[2]) + t[3]) + (((t[4] + t[5]) + t[6]) + t[7]);
  for (int j = 16; j < 20; ++j) {
    const float x = a[j] - b[j];
    s += x * x;
  }
  EXPECT_EQ(bits(orlim::sq_l2_scalar(a.data(), b.data(), 20)), bits(s));
  EXPECT_EQ(bits(orlim::sq_l2(a.data(), b.data(), 20)), bits(s));
}

// Every SIMD path must reproduce the scalar order bit for bit, at every length and alignment.
TEST(SqL2, SimdPathsMatchTheScalarOrderBitForBit) {
  const auto a = random_values(1100, 3, 1e3f);
  const auto b = random_values(1100, 4, 1e-2f);
  for (std::size_t d : {0, 1, 7, 8, 9, 15, 16, 17, 20, 23, 24, 31, 32, 33, 128, 960, 1000}) {
    for (std::size_t offset : {0, 1, 3}) {
      const float* pa = a.data() + offset;
      const float* pb = b.data() + 2 * offset;
      const float want = orlim::sq_l2_scalar(pa, pb, d);
      EXPECT_EQ(bits(orlim::sq_l2_sse2(pa, pb, d)), bits(want)) << "d=" << d;
      if (orlim::avx2_supported()) {
        EXPECT_EQ(bits(orlim::sq_l2_avx2(pa, pb, d)), bits(want)) << "d=" << d;
      }
      EXPECT_EQ(bits(orlim::sq_l2(pa, pb, d)), bits(want)) << "d=" << d;
    }
  }
}

TEST(SqL2, FourAtOnceMatchesFourSingleCallsBitForBit) {
  const auto a = random_values(1100, 7, 50.0f);
  const auto b = random_values(4 * 1100, 8, 0.5f);
  for (std::size_t d : {0, 1, 7, 8, 15, 16, 20, 24, 33, 128, 960}) {
    const float* rows[4] = {b.data() + 3, b.data() + 1100, b.data() + 2201, b.data() + 3300};
    float got[4];
    orlim::sq_l2_x4_portable(a.data(), rows, d, got);
    for (int r = 0; r < 4; ++r) {
      EXPECT_EQ(bits(got[r]), bits(orlim::sq_l2_scalar(a.data(), rows[r], d))) << "d=" << d;
    }
    if (orlim::avx2_supported()) {
      orlim::sq_l2_x4_avx2(a.data(), rows, d, got);
      for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(bits(got[r]), bits(orlim::sq_l2_scalar(a.data(), rows[r], d))) << "d=" << d;
      }
    }
  }
}

TEST(SqL2, IsZeroOnItselfAndSymmetric) {
  const auto a = random_values(200, 5, 10.0f);
  const auto b = random_values(200, 6, 10.0f);
  for (std::size_t d : {1, 8, 16, 33, 200}) {
    EXPECT_EQ(orlim::sq_l2(a.data(), a.data(), d), 0.0f);
    EXPECT_EQ(bits(orlim::sq_l2(a.data(), b.data(), d)), bits(orlim::sq_l2(b.data(), a.data(), d)));
    EXPECT_GT(orlim::sq_l2(a.data(), b.data(), d), 0.0f);
  }
}

TEST(SqL2, OverflowGivesInfinityNotNan) {
  const std::vector<float> a(16, 3e38f), b(16, -3e38f);
  EXPECT_TRUE(std::isinf(orlim::sq_l2(a.data(), b.data(), 16)));
}

}  // namespace
