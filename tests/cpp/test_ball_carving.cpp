// Ball carving and the halo against a naive transcription of the same rules (leaves as vectors,
// every candidate list sorted in full), plus the invariants that hold whatever the draws: a cover
// of every point, the size bounds, distinct members, and leaves that do not depend on the number
// of workers.
#include "orlim/build/ball_carving.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"

namespace orlim {
namespace {

using LeafList = std::vector<std::vector<PointId>>;

// ---- naive reference ---------------------------------------------------------------------------

float ref_dist(const Dataset& data, const float* a, const float* b) {
  return sq_l2_scalar(a, b, data.d);
}

void ref_carve(const Dataset& data, std::size_t c_max, std::vector<PointId> ids, std::size_t depth,
               Rng& rng, LeafList& leaves) {
  const std::size_t len = ids.size();
  if (len <= c_max) {
    leaves.push_back(std::move(ids));
    return;
  }
  std::vector<PointId> perm = ids;
  shuffle(std::span<PointId>(perm), rng);
  std::size_t k = 2 * len / c_max;
  if (k < 2) k = 2;
  k = std::min({k, len, std::size_t{64}});
  LeafList buckets(k);
  for (const PointId id : ids) {
    float best = std::numeric_limits<float>::infinity();
    std::size_t arg = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const float s = ref_dist(data, data.row(id), data.row(perm[j]));
      if (s < best) {
        best = s;
        arg = j;
      }
    }
    buckets[arg].push_back(id);
  }
  const auto limit = static_cast<std::size_t>(0.9 * static_cast<double>(len));
  for (auto& bucket : buckets) {
    if (bucket.empty()) continue;
    if (bucket.size() <= c_max) {
      leaves.push_back(std::move(bucket));
    } else if (bucket.size() > limit || depth > 23) {
      shuffle(std::span<PointId>(bucket), rng);
      for (std::size_t start = 0; start < bucket.size(); start += c_max) {
        const std::size_t end = std::min(start + c_max, bucket.size());
        leaves.emplace_back(bucket.begin() + start, bucket.begin() + end);
      }
    } else {
      ref_carve(data, c_max, std::move(bucket), depth + 1, rng, leaves);
    }
  }
}

// The `count` nearest of `items` (distance, index) by repeated stable sorts, as the rules read.
std::vector<PointId> ref_nearest(const std::vector<std::pair<float, PointId>>& items,
                                 std::size_t count) {
  std::vector<std::pair<float, PointId>> list;
  const auto by_dist = [](const auto& a, const auto& b) { return a.first < b.first; };
  for (const auto& item : items) {
    if (list.size() < count) {
      list.push_back(item);
      std::stable_sort(list.begin(), list.end(), by_dist);
    } else if (count > 0 && item.first < list.back().first) {
      list.back() = item;
      std::stable_sort(list.begin(), list.end(), by_dist);
    }
  }
  std::vector<PointId> out;
  for (const auto& item : list) out.push_back(item.second);
  return out;
}

void ref_halo(const Dataset& data, LeafList& leaves, std::size_t fanout, std::uint64_t seed) {
  const std::size_t num_leaves = leaves.size();
  const std::size_t d = data.d;
  const std::size_t extra = std::min(num_leaves - 1, fanout - 1);
  std::vector<float> cent(num_leaves * d, 0.0f);
  std::vector<PointId> home(data.n);
  for (std::size_t l = 0; l < num_leaves; ++l) {
    for (const PointId p : leaves[l]) {
      home[p] = static_cast<PointId>(l);
      for (std::size_t j = 0; j < d; ++j) cent[l * d + j] += data.row(p)[j];
    }
    const float inv = 1.0f / static_cast<float>(std::max<std::size_t>(leaves[l].size(), 1));
    for (std::size_t j = 0; j < d; ++j) cent[l * d + j] *= inv;
  }
  LeafList groups;
  std::vector<float> group_cent;
  if (num_leaves > 256) {
    Rng rng(seed ^ 0xA5A55A5A12349876ull);
    const auto k = static_cast<std::size_t>(std::ceil(std::sqrt(double(num_leaves))));
    std::vector<PointId> order(num_leaves);
    std::iota(order.begin(), order.end(), PointId{0});
    shuffle(std::span<PointId>(order), rng);
    groups.resize(k);
    group_cent.assign(k * d, 0.0f);
    for (std::size_t l = 0; l < num_leaves; ++l) {
      float best = std::numeric_limits<float>::infinity();
      std::size_t g = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const float s = ref_dist(data, &cent[l * d], &cent[order[j] * d]);
        if (s < best) {
          best = s;
          g = j;
        }
      }
      groups[g].push_back(static_cast<PointId>(l));
      for (std::size_t j = 0; j < d; ++j) group_cent[g * d + j] += cent[l * d + j];
    }
    for (std::size_t g = 0; g < k; ++g) {
      const float inv = 1.0f / static_cast<float>(std::max<std::size_t>(groups[g].size(), 1));
      for (std::size_t j = 0; j < d; ++j) group_cent[g * d + j] *= inv;
    }
  }
  for (std::size_t p = 0; p < data.n; ++p) {
    std::vector<PointId> candidates;
    if (num_leaves <= 256) {
      candidates.resize(num_leaves);
      std::iota(candidates.begin(), candidates.end(), PointId{0});
    } else {
      std::vector<std::pair<float, PointId>> by_group;
      for (std::size_t g = 0; g < groups.size(); ++g) {
        by_group.emplace_back(ref_dist(data, data.row(p), &group_cent[g * d]), PointId(g));
      }
      for (const PointId g : ref_nearest(by_group, 3)) {
        candidates.insert(candidates.end(), groups[g].begin(), groups[g].end());
      }
    }
    std::vector<std::pair<float, PointId>> items;
    for (const PointId c : candidates) {
      if (c != home[p]) items.emplace_back(ref_dist(data, data.row(p), &cent[c * d]), c);
    }
    // Centroids and home leaves are fixed above, so appending while scanning points is safe.
    for (const PointId l : ref_nearest(items, extra)) leaves[l].push_back(PointId(p));
  }
}

LeafList ref_partition(const Dataset& data, std::size_t c_max, std::size_t fanout,
                       std::uint64_t seed) {
  std::vector<PointId> ids(data.n);
  std::iota(ids.begin(), ids.end(), PointId{0});
  Rng rng(seed ^ 0x9E3779B97F4A7C15ull);
  LeafList leaves;
  ref_carve(data, c_max, std::move(ids), 0, rng, leaves);
  if (fanout > 1 && leaves.size() >= 2) ref_halo(data, leaves, fanout, seed);
  return leaves;
}

// ---- fixtures ----------------------------------------------------------------------------------

// Owns the values a Euclidean Dataset borrows.
struct Points {
  Points(std::vector<float> v, std::size_t n, std::size_t d)
      : values(std::move(v)), data(values, n, d, Metric::Euclidean) {}
  std::vector<float> values;
  Dataset data;
};

// Gaussian blobs of spread `noise_sd` around centres drawn in a cube of side 20; with spread 0
// every blob is one point repeated, so distance ties are everywhere.
Points clustered(std::size_t n, std::size_t d, std::size_t clusters, std::uint32_t seed,
                 float noise_sd = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> centre(-10.0f, 10.0f);
  std::normal_distribution<float> noise(0.0f, 1.0f);  // scaled below: sd 0 is not allowed
  std::vector<float> centres(clusters * d);
  for (float& c : centres) c = centre(gen);
  std::vector<float> values(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = gen() % clusters;
    for (std::size_t j = 0; j < d; ++j)
      values[i * d + j] = centres[c * d + j] + noise_sd * noise(gen);
  }
  return Points(std::move(values), n, d);
}

// Points on the x axis (d = 2): `count` copies of each position, ids in the order given.
Points on_a_line(const std::vector<std::pair<std::size_t, float>>& runs) {
  std::vector<float> values;
  std::size_t n = 0;
  for (const auto& [count, x] : runs) {
    for (std::size_t i = 0; i < count; ++i) values.insert(values.end(), {x, 0.0f});
    n += count;
  }
  return Points(std::move(values), n, 2);
}

LeafList as_lists(const Leaves& leaves) {
  LeafList out;
  for (std::size_t l = 0; l < leaves.size(); ++l) {
    out.emplace_back(leaves.leaf(l).begin(), leaves.leaf(l).end());
  }
  return out;
}

BuildParams params_with(std::size_t c_max, std::size_t fanout, std::uint64_t seed) {
  BuildParams params;
  params.c_max = c_max;
  params.fanout = fanout;
  params.seed = seed;
  return params;
}

// Checks what holds for every partition: the carved prefix of the leaves (the same seed with
// fanout 1) is a disjoint cover in leaves of at most c_max; each leaf then keeps its carved
// members and adds distinct halo members in ascending order; each point lies in its home leaf
// plus at most `extra` others, exactly `extra` when every leaf is a candidate.
void expect_valid(const Dataset& data, const BuildParams& params, const Leaves& leaves) {
  const Leaves carved = partition(data, params_with(params.c_max, 1, params.seed));
  std::vector<int> homes(data.n, 0);
  for (std::size_t l = 0; l < carved.size(); ++l) {
    ASSERT_LE(carved.leaf(l).size(), params.c_max) << "leaf " << l;
    for (const PointId p : carved.leaf(l)) ++homes.at(p);
  }
  for (std::size_t p = 0; p < data.n; ++p) ASSERT_EQ(homes[p], 1) << "point " << p;

  ASSERT_EQ(leaves.size(), carved.size());
  const std::size_t num_leaves = leaves.size();
  const std::size_t extra =
      params.fanout > 1 && num_leaves > 1 ? std::min(num_leaves - 1, params.fanout - 1) : 0;
  std::vector<std::size_t> joined(data.n, 0);
  for (std::size_t l = 0; l < num_leaves; ++l) {
    const auto all = leaves.leaf(l);
    const auto own = carved.leaf(l);
    ASSERT_GE(all.size(), own.size());
    ASSERT_TRUE(std::equal(own.begin(), own.end(), all.begin())) << "leaf " << l;
    const std::vector<PointId> halo(all.begin() + own.size(), all.end());
    ASSERT_TRUE(std::is_sorted(halo.begin(), halo.end())) << "leaf " << l;
    ASSERT_EQ(std::adjacent_find(halo.begin(), halo.end()), halo.end()) << "leaf " << l;
    for (const PointId p : halo) {
      ASSERT_EQ(std::count(own.begin(), own.end(), p), 0) << "leaf " << l << " point " << p;
      ++joined.at(p);
    }
  }
  for (std::size_t p = 0; p < data.n; ++p) {
    if (num_leaves <= 256) {
      ASSERT_EQ(joined[p], extra) << "point " << p;
    } else {
      ASSERT_LE(joined[p], extra) << "point " << p;
    }
  }
}

// ---- tests -------------------------------------------------------------------------------------

struct PartitionCase {
  const char* name;
  std::size_t n, d, clusters, c_max, fanout;
  std::uint64_t seed;
  float noise_sd = 1.0f;
};

const PartitionCase kPartitionCases[] = {
    {"disjoint with fanout 1", 3000, 8, 12, 64, 1, 2},
    {"flat halo", 3000, 8, 12, 64, 2, 3},
    {"flat halo, three leaves per point", 2000, 5, 7, 40, 4, 4},
    {"fanout above the leaf count", 400, 3, 4, 64, 100, 5},
    {"two-level halo", 5000, 6, 30, 16, 2, 6},
    {"two-level halo, fanout 5", 5000, 6, 30, 16, 5, 7},
    {"singleton leaves", 300, 4, 300, 1, 2, 8},
    {"odd dimension, large seed", 2500, 19, 9, 50, 3, 0xFFFFFFFFFFFFFFFFull},
    {"exact duplicates: ties to the lowest leader", 1500, 3, 40, 32, 2, 9, 0.0f},
    {"exact duplicates, two-level halo", 3000, 3, 400, 8, 3, 10, 0.0f},
};

TEST(Partition, MatchesNaiveReferenceAndInvariants) {
  for (const auto& c : kPartitionCases) {
    SCOPED_TRACE(c.name);
    const Points pts =
        clustered(c.n, c.d, c.clusters, static_cast<std::uint32_t>(c.seed) + 11, c.noise_sd);
    const BuildParams params = params_with(c.c_max, c.fanout, c.seed);
    const Leaves leaves = partition(pts.data, params);
    EXPECT_EQ(as_lists(leaves), ref_partition(pts.data, c.c_max, c.fanout, c.seed));
    expect_valid(pts.data, params, leaves);
  }
}

TEST(Partition, EdgeShapes) {
  // n <= c_max: one leaf 0..n-1 in order, whatever the fanout.
  const Points small = clustered(30, 3, 2, 1);
  const Leaves one = partition(small.data, params_with(30, 4, 9));
  std::vector<PointId> all(30);
  std::iota(all.begin(), all.end(), PointId{0});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(as_lists(one)[0], all);

  // fanout >= L with L <= 256: every point joins every leaf.
  const Points pts = clustered(600, 4, 6, 2);
  const Leaves everywhere = partition(pts.data, params_with(40, 1000, 3));
  ASSERT_GT(everywhere.size(), 2u);
  for (std::size_t l = 0; l < everywhere.size(); ++l) {
    std::vector<PointId> members(everywhere.leaf(l).begin(), everywhere.leaf(l).end());
    std::sort(members.begin(), members.end());
    ASSERT_EQ(members.size(), 600u) << "leaf " << l;
    ASSERT_EQ(members.front(), 0u);
    ASSERT_EQ(members.back(), 599u);
  }

  // Identical points all fall to the first leader; the bucket keeps more than 90% of the points,
  // so it is shuffled and cut into chunks of c_max.
  const Points same = on_a_line({{100, 1.5f}});
  const Leaves chunks = partition(same.data, params_with(30, 1, 4));
  ASSERT_EQ(chunks.size(), 4u);
  for (std::size_t l = 0; l < 4; ++l) EXPECT_EQ(chunks.leaf(l).size(), l < 3 ? 30u : 10u);
  EXPECT_FALSE(std::is_sorted(chunks.members.begin(), chunks.members.end()));
  EXPECT_EQ(as_lists(chunks), ref_partition(same.data, 30, 1, 4));
}

// Fixture: a1 points at x = 0 and 45 at x = 1 (together the A side), the rest of 100 at x = 1000,
// c_max = 80, so a carving step has two leaders and limit = 90. Leaves {A1}, {A2}, {B} can only
// appear when the A bucket is carved again, never when it is chunked.
bool three_clean_leaves(const Points& pts, std::size_t a1, std::size_t depth, std::uint64_t seed) {
  Leaves leaves;
  leaves.members.resize(pts.data.n);
  std::iota(leaves.members.begin(), leaves.members.end(), PointId{0});
  Rng rng(seed);
  carve_disjoint(pts.data, 80, depth, rng, leaves);
  LeafList got = as_lists(leaves);
  for (const auto& leaf : got) EXPECT_LE(leaf.size(), 80u);
  std::sort(got.begin(), got.end());
  LeafList want(3);
  for (std::size_t p = 0; p < 100; ++p)
    want[p < a1 ? 0 : p < a1 + 45 ? 1 : 2].push_back(PointId(p));
  return got == want;
}

TEST(CarveDisjoint, ChunksWhenABucketKeepsMoreThanNinetyPercentOrTooDeep) {
  struct Case {
    const char* name;
    std::size_t a1, depth;
    bool carved_again;
  };
  const Case cases[] = {
      {"bucket of exactly floor(0.9 len) is carved again", 45, 0, true},
      {"one id more is chunked", 46, 0, false},
      {"still carved again at depth 23", 45, 23, true},
      {"always chunked at depth 24", 45, 24, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Points pts = on_a_line({{c.a1, 0.0f}, {45, 1.0f}, {100 - c.a1 - 45, 1000.0f}});
    std::size_t hits = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed)
      hits += three_clean_leaves(pts, c.a1, c.depth, seed);
    if (c.carved_again) {
      EXPECT_GT(hits, 0u);
    } else {
      EXPECT_EQ(hits, 0u);
    }
  }
}

// One point per leaf, so every centroid is a point and the flat search finds each point's exact
// nearest other point; from 257 leaves on, the two-level search takes over.
TEST(AddHalo, FlatUpTo256LeavesTwoLevelAbove) {
  for (const std::size_t num_leaves : {256u, 257u}) {
    SCOPED_TRACE(num_leaves);
    const Points pts = clustered(num_leaves, 6, num_leaves, 21);  // no structure to lean on
    Leaves leaves;
    leaves.members.resize(num_leaves);
    std::iota(leaves.members.begin(), leaves.members.end(), PointId{0});
    for (std::size_t l = 1; l <= num_leaves; ++l) leaves.offsets.push_back(l);
    LeafList want = as_lists(leaves);
    add_halo(pts.data, leaves, 2, 77);
    ref_halo(pts.data, want, 2, 77);
    EXPECT_EQ(as_lists(leaves), want);

    std::size_t not_exact = 0;
    for (std::size_t p = 0; p < num_leaves; ++p) {
      float best = std::numeric_limits<float>::infinity();
      for (std::size_t q = 0; q < num_leaves; ++q) {
        if (q != p) best = std::min(best, sq_l2(pts.data.row(p), pts.data.row(q), 6));
      }
      bool found = false;
      for (std::size_t l = 0; l < num_leaves; ++l) {
        const auto leaf = leaves.leaf(l);
        if (l != p && std::find(leaf.begin(), leaf.end(), PointId(p)) != leaf.end()) {
          found = sq_l2(pts.data.row(p), pts.data.row(l), 6) == best;
        }
      }
      not_exact += !found;
    }
    if (num_leaves == 256) {
      EXPECT_EQ(not_exact, 0u);
    } else {
      EXPECT_GT(not_exact, 0u);  // the coarse groups miss some nearest leaves
    }
  }
}

TEST(Partition, SameLeavesWithOneAndTwoWorkers) {
  struct Case {
    std::size_t c_max, fanout;
  };
  const Points pts = clustered(30000, 16, 40, 5);
  for (const Case c : {Case{64, 3}, Case{512, 2}}) {
    SCOPED_TRACE(c.c_max);
    Leaves by_threads[2];
    for (std::size_t t = 0; t < 2; ++t) {
      auto pool = Pool::dedicated(t + 1);
      ASSERT_TRUE(pool.has_value());
      pool->run([&] { by_threads[t] = partition(pts.data, params_with(c.c_max, c.fanout, 99)); });
    }
    EXPECT_EQ(by_threads[0].offsets, by_threads[1].offsets);
    EXPECT_EQ(by_threads[0].members, by_threads[1].members);
    EXPECT_GT(by_threads[0].size(), c.c_max == 64 ? 256u : 1u);
  }
}

TEST(Partition, ZeroCmaxIsAFailure) {
  const Points pts = clustered(10, 2, 2, 1);
  EXPECT_THROW(partition(pts.data, params_with(0, 2, 0)), Failure);
}

// One NaN coordinate makes its leaf's centroid NaN. With fanout 2 each point keeps a single
// nearest leaf and nothing is sorted, so the build goes on; with fanout 3 the NaN point's own
// list has to rank two NaN distances, which has no answer.
TEST(Partition, NanInputFailsOnlyWhenTheHaloRanksIt) {
  Points pts = clustered(500, 4, 5, 8);
  pts.values[123 * 4 + 2] = std::numeric_limits<float>::quiet_NaN();
  const Leaves leaves = partition(pts.data, params_with(40, 2, 1));
  std::vector<int> seen(500, 0);
  for (const PointId p : leaves.members) seen[p] = 1;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 500);
  EXPECT_THROW(partition(pts.data, params_with(40, 3, 1)), Failure);
}

TEST(NearestLeaves, KeepsTheNearestInOfferOrderOnTies) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::size_t count;
    std::vector<Neighbor> offers;  // (leaf, distance)
    std::vector<PointId> want;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"equal distances keep offer order", 2, {{1, 3}, {2, 1}, {3, 3}, {4, 1}}, {2, 4}, false},
      {"a full list takes only strictly nearer",
       3,
       {{1, 2}, {2, 2}, {3, 1}, {4, 2}},
       {3, 1, 2},
       false},
      {"a NaN offered to a full list is dropped", 2, {{1, 1}, {2, 2}, {3, nan}}, {1, 2}, false},
      {"a lone NaN is never displaced", 1, {{1, nan}, {2, 0}}, {1}, false},
      {"count 0 keeps nothing", 0, {{1, 1}}, {}, false},
      {"NaN ranked against a distance", 2, {{1, 1}, {2, nan}}, {}, true},
      {"distance ranked against a NaN", 3, {{1, nan}, {2, 1}}, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NearestLeaves nearest(c.count);
    nearest.reset();
    const auto offer_all = [&] {
      for (const Neighbor& o : c.offers) nearest.offer(o.dist, o.id);
    };
    if (c.fails) {
      EXPECT_THROW(offer_all(), Failure);
      continue;
    }
    offer_all();
    std::vector<PointId> got;
    for (const Neighbor& b : nearest.best()) got.push_back(b.id);
    EXPECT_EQ(got, c.want);
  }
}

}  // namespace
}  // namespace orlim
