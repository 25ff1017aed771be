#include "orlim/kernels/gemm.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/base/rng.hpp"

namespace orlim {
namespace {

// Values uniform in [-scale, scale).
std::vector<float> random_values(std::size_t count, std::uint64_t seed, float scale = 1.0f) {
  Rng rng(seed);
  std::vector<float> out(count);
  for (float& v : out) v = (static_cast<float>(rng.next_u32() >> 8) * 0x1p-23f - 1.0f) * scale;
  return out;
}

// Squared distance of two stored rows, in double precision.
double reference_sq_dist(const Dataset& data, PointId a, PointId b) {
  double s = 0.0;
  for (std::size_t i = 0; i < data.d; ++i) {
    const double diff = static_cast<double>(data.row(a)[i]) - static_cast<double>(data.row(b)[i]);
    s += diff * diff;
  }
  return s;
}

// The expansion through norms loses about d float32 roundings of the norms' size.
double tolerance(const Dataset& data, PointId a, PointId b) {
  return 8.0 * static_cast<double>(data.d) * 0x1p-24 * (data.norms[a] + data.norms[b]) + 1e-30;
}

// A leaf of t distinct rows in a scrambled order.
std::vector<PointId> scrambled_leaf(std::size_t n, std::size_t t, std::uint64_t seed) {
  std::vector<PointId> ids(n);
  std::iota(ids.begin(), ids.end(), PointId{0});
  Rng rng(seed);
  shuffle(std::span<PointId>(ids), rng);
  ids.resize(t);
  return ids;
}

void expect_matches_reference(const Dataset& data, const std::vector<PointId>& ids,
                              const LeafDists& got, const std::string& what) {
  const std::size_t t = ids.size();
  ASSERT_EQ(got.t, t) << what;
  for (std::size_t i = 0; i < t; ++i) {
    EXPECT_EQ(got.at(i, i), 0.0f) << what << " diagonal " << i;
    for (std::size_t j = 0; j < t; ++j) {
      if (i == j) continue;
      const double want = reference_sq_dist(data, ids[i], ids[j]);
      ASSERT_NEAR(got.at(i, j), want, tolerance(data, ids[i], ids[j]))
          << what << " entry (" << i << ", " << j << ")";
      ASSERT_GE(got.at(i, j), 0.0f) << what;
    }
  }
}

TEST(LeafGemm, MatchesDoublePrecisionReference) {
  struct Shape {
    std::size_t n, d, t;
  };
  // d covers a single column, odd widths and a typical embedding width; t covers the smallest
  // real leaf, odd sizes and a leaf larger than a BLAS block.
  for (const Shape s : {Shape{10, 1, 2}, Shape{40, 3, 17}, Shape{400, 17, 300}, Shape{300, 128, 64},
                        Shape{20, 33, 20}}) {
    const auto values = random_values(s.n * s.d, s.n + s.d, 3.0f);
    for (const Metric metric : {Metric::Euclidean, Metric::Cosine}) {
      const Dataset data(values, s.n, s.d, metric);
      const auto ids = scrambled_leaf(s.n, s.t, s.t);
      const std::string what = "n=" + std::to_string(s.n) + " d=" + std::to_string(s.d) +
                               " t=" + std::to_string(s.t) +
                               (metric == Metric::Cosine ? " cosine" : " euclidean");
      const LeafDists got = leaf_sq_dists(data, ids);
      expect_matches_reference(data, ids, got, what);
      if (metric == Metric::Cosine) {
        for (std::size_t c = 0; c < s.t * s.t; ++c) ASSERT_LE(got.values[c], 4.0f + 1e-5f) << what;
      }
    }
  }
}

TEST(LeafGemm, DiagonalIsExactlyZeroForHugeRows) {
  // At this magnitude the norms and the product disagree by far more than 0 would allow.
  const auto values = random_values(50 * 40, 3, 1e6f);
  const Dataset data(values, 50, 40, Metric::Euclidean);
  const auto ids = scrambled_leaf(50, 50, 8);
  const LeafDists got = leaf_sq_dists(data, ids);
  for (std::size_t i = 0; i < got.t; ++i) EXPECT_EQ(got.at(i, i), 0.0f) << i;
  expect_matches_reference(data, ids, got, "huge rows");
}

TEST(LeafGemm, PrecisionFollowsTheLeafsSpreadNotItsPlace) {
  // The same leaf, moved far from the origin: distances do not change under the move, and the
  // kernel must not lose them to the size of the rows. The error allowed is that of the expansion
  // at the leaf's own scale (rows in [-1, 1)); with the norms of the moved rows themselves it
  // would be about offset^2 * d * 2^-24, several times the distances.
  const std::size_t n = 300, d = 32;
  const auto local = random_values(n * d, 77);
  const auto ids = scrambled_leaf(n, 200, 5);
  for (const float offset : {0.0f, 1e3f, 1e4f, -3e4f}) {
    std::vector<float> values(local);
    for (std::size_t c = 0; c < values.size(); ++c) {
      values[c] += (c % d) % 3 == 0 ? offset : 0.5f * offset;
    }
    const Dataset data(values, n, d, Metric::Euclidean);
    const LeafDists got = leaf_sq_dists(data, ids);
    // The moved values carry rounding of about offset * 2^-24 each, which the reference sees too.
    const double allowed = 16.0 * static_cast<double>(d) * 0x1p-24 * 2.0 * static_cast<double>(d) +
                           4.0 * static_cast<double>(d) * std::abs(offset) * 0x1p-24;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      for (std::size_t j = 0; j < ids.size(); ++j) {
        if (i == j) continue;
        ASSERT_NEAR(got.at(i, j), reference_sq_dist(data, ids[i], ids[j]), allowed)
            << "offset " << offset << " entry (" << i << ", " << j << ")";
      }
    }
  }
}

TEST(LeafGemm, RepeatedRowsGiveZeroOrRoundingNoise) {
  // Every row appears twice: once as a repeated id, once as an identical copy under another id.
  // The expansion cancels to about 0 with either sign; the clamp must leave no negative value.
  const std::size_t n = 128, d = 29;
  auto values = random_values(n * d, 17, 2.0f);
  for (std::size_t p = n / 2; p < n; ++p) {
    std::copy_n(values.begin() + (p - n / 2) * d, d, values.begin() + p * d);
  }
  const Dataset data(values, n, d, Metric::Euclidean);
  std::vector<PointId> ids;
  for (PointId p = 0; p < n / 2; ++p)
    ids.insert(ids.end(), {p, p, static_cast<PointId>(p + n / 2)});
  const LeafDists got = leaf_sq_dists(data, ids);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (std::size_t j = 0; j < ids.size(); ++j) {
      if (ids[i] % (n / 2) != ids[j] % (n / 2)) continue;
      EXPECT_GE(got.at(i, j), 0.0f) << i << ", " << j;
      EXPECT_LE(got.at(i, j), tolerance(data, ids[i], ids[j])) << i << ", " << j;
    }
  }

  // With small integers every step is exact, so the repeats come out as exactly 0. Rows 3 and 4
  // copy rows 0 and 1; local positions 0 and 3 repeat id 0, positions 1 and 2 hold equal rows.
  const std::vector<float> small = {1, 2, 3, 4, -1, 0, 1, 2, 3, 4};
  const Dataset exact(small, 5, 2, Metric::Euclidean);
  const std::vector<PointId> leaf = {0, 4, 1, 0};
  const LeafDists z = leaf_sq_dists(exact, leaf);
  EXPECT_EQ(z.at(0, 3), 0.0f);
  EXPECT_EQ(z.at(3, 0), 0.0f);
  EXPECT_EQ(z.at(1, 2), 0.0f);
  EXPECT_EQ(z.at(2, 1), 0.0f);
  EXPECT_EQ(z.at(0, 1), 8.0f);
}

TEST(LeafGemm, NonFiniteInputBecomesZeroNotNaN) {
  std::vector<float> values = random_values(6 * 4, 5);
  values[2 * 4 + 1] = std::numeric_limits<float>::quiet_NaN();
  values[4 * 4 + 3] = std::numeric_limits<float>::infinity();
  const Dataset data(values, 6, 4, Metric::Euclidean);
  const std::vector<PointId> ids = {0, 1, 2, 3, 4, 5};
  const LeafDists got = leaf_sq_dists(data, ids);
  for (std::size_t i = 0; i < 6; ++i) {
    for (std::size_t j = 0; j < 6; ++j) {
      const float v = got.at(i, j);
      EXPECT_FALSE(std::isnan(v)) << i << ", " << j;
      if (i != j && (i == 2 || j == 2)) {
        EXPECT_EQ(v, 0.0f) << i << ", " << j;
      }
    }
  }
  EXPECT_GT(got.at(0, 1), 0.0f) << "finite rows are unaffected";
}

TEST(LeafGemm, TinyLeavesAndBadIds) {
  const auto values = random_values(8 * 3, 1);
  const Dataset data(values, 8, 3, Metric::Euclidean);

  const LeafDists empty = leaf_sq_dists(data, {});
  EXPECT_EQ(empty.t, 0u);

  const std::vector<PointId> one = {5};
  const LeafDists single = leaf_sq_dists(data, one);
  ASSERT_EQ(single.t, 1u);
  EXPECT_EQ(single.at(0, 0), 0.0f);

  const std::vector<PointId> outside = {1, 8};
  EXPECT_THROW(leaf_sq_dists(data, outside), Failure);

  // A data set of width 0 has no norms to read.
  const Dataset flat(std::span<const float>(), 4, 0, Metric::Euclidean);
  const std::vector<PointId> pair = {0, 1};
  EXPECT_THROW(leaf_sq_dists(flat, pair), Failure);
  EXPECT_EQ(leaf_sq_dists(flat, {}).t, 0u);
}

TEST(LeafGemm, ManyWorkersOnFewCoresAgreeWithOneThread) {
  // More workers than cores, each running its own products at the same time: every result must
  // equal the one computed alone, and the BLAS must stay silent (no thread-limit warnings).
  const std::size_t n = 600, d = 24, leaves = 400;
  const auto values = random_values(n * d, 21);
  const Dataset data(values, n, d, Metric::Euclidean);
  std::vector<std::vector<PointId>> leaf_ids(leaves);
  std::vector<LeafDists> alone(leaves);
  for (std::size_t l = 0; l < leaves; ++l) {
    leaf_ids[l] = scrambled_leaf(n, 2 + (l * 37) % 150, l);
    alone[l] = leaf_sq_dists(data, leaf_ids[l]);
  }

  auto pool = Pool::dedicated(8);
  ASSERT_TRUE(pool.has_value());
  std::atomic<std::size_t> mismatches{0};
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 3; ++round) {
    pool->run([&] {
      parallel_for_blocks(leaves, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t l = lo; l < hi; ++l) {
          const LeafDists got = leaf_sq_dists(data, leaf_ids[l]);
          const std::size_t cells = got.t * got.t;
          if (got.t != alone[l].t ||
              !std::equal(got.values.get(), got.values.get() + cells, alone[l].values.get())) {
            ++mismatches;
          }
        }
      });
    });
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(mismatches.load(), 0u);
  EXPECT_EQ(err, "");
}

}  // namespace
}  // namespace orlim
