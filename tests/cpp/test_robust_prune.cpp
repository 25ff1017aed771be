#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/build/robust_prune.hpp"

namespace orlim {
namespace {

// The rule written out plainly: stable sort by (distance, id), drop p, then walk with one flag
// per candidate, every later live candidate tested against each new choice.
struct NaiveResult {
  std::vector<PointId> chosen;
  std::vector<Neighbor> sorted;  // the candidate list as the rule leaves it
};

NaiveResult naive_prune(const Dataset& data, PointId p, std::vector<Neighbor> candidates,
                        std::size_t r, float alpha) {
  std::stable_sort(candidates.begin(), candidates.end(), [](const Neighbor& a, const Neighbor& b) {
    return a.dist < b.dist || (a.dist == b.dist && a.id < b.id);
  });
  NaiveResult result;
  for (const Neighbor& c : candidates) {
    if (c.id != p) result.sorted.push_back(c);
  }
  const auto& kept = result.sorted;
  std::vector<bool> alive(kept.size(), true);
  const float a2 = alpha * alpha;
  for (std::size_t i = 0; i < kept.size() && result.chosen.size() < r; ++i) {
    if (!alive[i]) continue;
    result.chosen.push_back(kept[i].id);
    for (std::size_t k = i + 1; k < kept.size(); ++k) {
      const float g = sq_l2_scalar(data.row(kept[i].id), data.row(kept[k].id), data.d);
      if (alive[k] && kept[k].dist > a2 * g) alive[k] = false;
    }
  }
  return result;
}

struct RandomCase {
  const char* name;
  bool grid;  // small integer coordinates: exact distances, many ties and duplicate points
  float alpha;
  std::size_t r;
  // Far from the origin the norms dwarf the distances, so any shortcut through norms and dot
  // products must fall back to exact distances for close calls.
  float offset = 0.0f;
  std::size_t dims = 3;
};

void PrintTo(const RandomCase& c, std::ostream* os) { *os << c.name; }

class RobustPruneVsNaive : public ::testing::TestWithParam<RandomCase> {};

TEST_P(RobustPruneVsNaive, MatchesTheNaiveRuleWithOneScratchForAllPoints) {
  const RandomCase& c = GetParam();
  constexpr std::size_t kN = 80;
  const std::size_t kD = c.dims;
  std::mt19937 gen(1234);
  std::vector<float> values(kN * kD);
  std::uniform_int_distribution<int> coord(0, 3);
  std::normal_distribution<float> normal;
  for (float& v : values) v = c.offset + (c.grid ? static_cast<float>(coord(gen)) : normal(gen));
  const Dataset data(values, kN, kD, Metric::Euclidean);

  PruneScratch scratch;  // shared by every trial, as one task shares it across its points
  std::uniform_int_distribution<PointId> any_id(0, kN - 1);
  std::uniform_int_distribution<std::size_t> length(0, 40);
  for (int trial = 0; trial < 300; ++trial) {
    const PointId p = any_id(gen);
    std::vector<Neighbor> candidates(length(gen));
    for (Neighbor& n : candidates) {
      // Repeats and p itself occur naturally at this density.
      n.id = any_id(gen);
      n.dist = sq_l2_scalar(data.row(p), data.row(n.id), kD);
    }
    const NaiveResult want = naive_prune(data, p, candidates, c.r, c.alpha);

    std::vector<PointId> row(c.r, kNoPoint);
    const std::size_t count = robust_prune_into(data, p, candidates, c.alpha, row, scratch);
    const std::vector<PointId> got(row.begin(), row.begin() + count);
    ASSERT_EQ(got, want.chosen) << "trial " << trial;
    for (std::size_t j = count; j < c.r; ++j) ASSERT_EQ(row[j], kNoPoint) << "slot past the end";
    ASSERT_EQ(candidates.size(), want.sorted.size());
    for (std::size_t j = 0; j < candidates.size(); ++j) {
      ASSERT_EQ(candidates[j].id, want.sorted[j].id);
      ASSERT_EQ(candidates[j].dist, want.sorted[j].dist);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RobustPruneVsNaive,
    ::testing::Values(RandomCase{"grid_alpha1_r1", true, 1.0f, 1},
                      RandomCase{"grid_alpha1_r4", true, 1.0f, 4},
                      RandomCase{"grid_alpha1_r64", true, 1.0f, 64},
                      RandomCase{"grid_alpha1_2_r8", true, 1.2f, 8},
                      RandomCase{"grid_alpha2_r64", true, 2.0f, 64},
                      RandomCase{"normal_alpha1_r64", false, 1.0f, 64},
                      RandomCase{"normal_alpha1_2_r8", false, 1.2f, 8},
                      RandomCase{"normal_alpha0_5_r64", false, 0.5f, 64},
                      RandomCase{"far_normal_d32", false, 1.2f, 64, 1000.0f, 32},
                      RandomCase{"far_grid_d16_alpha1", true, 1.0f, 64, 300.0f, 16},
                      RandomCase{"normal_d128", false, 1.2f, 64, 0.0f, 128}),
    [](const auto& info) { return std::string(info.param.name); });

// Points in the plane around p = point 0 at the origin.
const std::vector<float> kPlane = {
    0.0f,  0.0f,   // 0: p
    1.0f,  0.0f,   // 1
    0.5f,  1.0f,   // 2: as far from 1 as from p (1.25 both)
    0.6f,  1.0f,   // 3: closer to 1 (1.16) than to p (1.36)
    1.0f,  0.0f,   // 4: duplicate of 1
    0.0f,  0.0f,   // 5: duplicate of p
    -1.0f, 0.0f,   // 6
    0.0f,  1.0f,   // 7
    0.0f,  -1.0f,  // 8
    0.0f,  0.0f,   // 9: duplicate of p
};

TEST(RobustPrune, HandPickedCases) {
  const Dataset data(kPlane, kPlane.size() / 2, 2, Metric::Euclidean);
  const auto at = [&](PointId id) {
    return Neighbor{id, sq_l2_scalar(data.row(0), data.row(id), 2)};
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<Neighbor> candidates;
    std::size_t r;
    float alpha;
    std::vector<PointId> want;
  };
  const std::vector<Case> cases = {
      {"empty list", {}, 8, 1.2f, {}},
      {"only p, several times", {at(0), at(0), at(0)}, 8, 1.2f, {}},
      {"alpha 1 keeps a candidate at equal distance", {at(2), at(1)}, 8, 1.0f, {1, 2}},
      {"alpha 1 drops a strictly closer candidate", {at(1), at(3)}, 8, 1.0f, {1}},
      {"alpha 1.2 keeps it", {at(1), at(3)}, 8, 1.2f, {1, 3}},
      {"duplicate vector dropped", {at(4), at(1)}, 8, 1.2f, {1}},
      {"duplicate vectors at distance 0 both kept", {at(9), at(5)}, 8, 1.2f, {5, 9}},
      {"duplicates of p at distance 0 kept", {at(5), at(5), at(1)}, 8, 1.0f, {5, 5, 1}},
      {"same id twice dropped", {at(1), at(1), at(6)}, 8, 1.2f, {1, 6}},
      {"p removed wherever it is", {at(0), at(6), at(0), at(7), at(0)}, 8, 1.0f, {6, 7}},
      {"equal distances in ascending id", {at(8), at(7), at(6), at(1)}, 8, 1.0f, {1, 6, 7, 8}},
      {"r cuts the walk", {at(8), at(7), at(6), at(1)}, 2, 1.0f, {1, 6}},
      {"r = 0", {at(8), at(1)}, 0, 1.2f, {}},
      {"NaN distance walks last and is never pruned",
       {Neighbor{4, nan}, at(1), Neighbor{3, nan}},
       8,
       1.0f,
       {1, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Neighbor> candidates = c.candidates;
    EXPECT_EQ(robust_prune(data, 0, candidates, c.r, c.alpha), c.want);
    // Whatever was chosen, the list is left sorted and without p.
    EXPECT_TRUE(std::is_sorted(candidates.begin(), candidates.end(), closer));
    EXPECT_TRUE(std::none_of(candidates.begin(), candidates.end(),
                             [](const Neighbor& n) { return n.id == 0; }));
  }
}

TEST(RobustPrune, CandidateIdOutOfRangeIsAFailure) {
  const Dataset data(kPlane, kPlane.size() / 2, 2, Metric::Euclidean);
  std::vector<Neighbor> candidates = {{1, 1.0f}, {static_cast<PointId>(data.n), 2.0f}};
  EXPECT_THROW(robust_prune(data, 0, candidates, 8, 1.2f), Failure);
}

}  // namespace
}  // namespace orlim
