#include "orlim/build/robust_prune.hpp"

#include <algorithm>

#include <emmintrin.h>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/kernels/gemm.hpp"

namespace orlim {

namespace {

// Lists this long or longer are screened with one symmetric product: every candidate pair's
// squared distance then comes from norms and a dot product at the speed of the BLAS, and only
// pairs whose pruning decision lies within the product's rounding margin are measured exactly.
// The candidates are moved to p's row first: the margin scales with the norms, so with the rows
// as stored, points far from the origin would leave nearly every pair to the exact distance.
constexpr std::size_t kScreenMin = 16;
// Rows requested ahead of their copy when gathering the candidates for the product.
constexpr std::size_t kGatherAhead = 8;
constexpr std::uint32_t kAlive = 0xFFFFFFFFu;

// Screens the candidates k in [from, count) that are still alive against the newly chosen
// neighbour c, from c's row of dot products, every candidate's squared norm and its stored
// distance from p. The rule: u is pruned when dist(p, u) > a2 * dist(c, u). Rounding to float32
// is monotone, so a bound on dist(c, u) settles the rule whenever dist(p, u) lies outside
// [a2 * low, a2 * high]; the candidates inside, or with a NaN anywhere, are appended to `rest`
// for the exact distance. Four candidates per step, with the scalar tail's float operations in
// the same order, so both give the same decisions.
void screen_row(const float* dots, const float* norms, const float* pu, float norm_c, float a2,
                float margin, std::size_t from, std::size_t count, std::uint32_t* alive,
                std::vector<std::size_t>& rest) {
  std::size_t k = from;
  const __m128 nc = _mm_set1_ps(norm_c);
  const __m128 a2v = _mm_set1_ps(a2);
  const __m128 mv = _mm_set1_ps(margin);
  for (; k + 4 <= count; k += 4) {
    const __m128i live = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alive + k));
    const __m128 sum = _mm_add_ps(nc, _mm_loadu_ps(norms + k));
    const __m128 dot = _mm_loadu_ps(dots + k);
    const __m128 approx = _mm_sub_ps(sum, _mm_add_ps(dot, dot));
    const __m128 err = _mm_mul_ps(mv, sum);
    const __m128 p = _mm_loadu_ps(pu + k);
    const __m128i pruned =
        _mm_castps_si128(_mm_cmpgt_ps(p, _mm_mul_ps(a2v, _mm_add_ps(approx, err))));
    const __m128i kept =
        _mm_castps_si128(_mm_cmple_ps(p, _mm_mul_ps(a2v, _mm_sub_ps(approx, err))));
    const __m128i still = _mm_andnot_si128(pruned, live);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(alive + k), still);
    auto open =
        static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(kept, still))));
    while (open != 0) {
      rest.push_back(k + static_cast<std::size_t>(__builtin_ctz(open)));
      open &= open - 1;
    }
  }
  for (; k < count; ++k) {
    if (!alive[k]) continue;
    const float sum = norm_c + norms[k];
    const float approx = sum - (dots[k] + dots[k]);
    const float err = margin * sum;
    if (pu[k] > a2 * (approx + err)) {
      alive[k] = 0;
    } else if (!(pu[k] <= a2 * (approx - err))) {
      rest.push_back(k);  // too close to call, or not a number
    }
  }
}

}  // namespace

std::size_t robust_prune_into(const Dataset& data, PointId p, std::vector<Neighbor>& candidates,
                              float alpha, std::span<PointId> out, PruneScratch& scratch) {
  for (const Neighbor& c : candidates) {
    if (c.id >= data.n) fail("robust_prune: candidate id out of range");
  }
  // `closer` is a total order on (distance, id), so entries it cannot tell apart carry the same
  // id and an unstable sort yields the same walk as a stable one, without a merge buffer.
  // Candidates usually arrive sorted already.
  if (!std::is_sorted(candidates.begin(), candidates.end(), closer)) {
    std::sort(candidates.begin(), candidates.end(), closer);
  }
  std::erase_if(candidates, [p](const Neighbor& c) { return c.id == p; });

  const std::size_t r = out.size();
  const std::size_t count = candidates.size();
  if (r == 0 || count == 0) return 0;

  const float a2 = alpha * alpha;
  const std::size_t d = data.d;
  const SqL2Fn dist = sq_l2_kernel();
  const SqL2x4Fn dist4 = sq_l2_x4_kernel();
  auto& alive = scratch.alive;
  alive.assign(count, kAlive);

  // d = 0 has nothing to gain from screening.
  const bool screen = count >= kScreenMin && d > 0;
  if (screen) {
    if (p >= data.n) fail("robust_prune: point id out of range");
    scratch.rows.resize(count * d);
    scratch.norms.resize(count);
    scratch.dists.resize(count);
    // The candidates' rows are scattered over the data set and mostly out of cache: each is
    // requested kGatherAhead rows before it is copied, so the misses overlap.
    for (std::size_t i = 0; i < std::min(kGatherAhead, count); ++i) {
      prefetch_row(data.row(candidates[i].id), d);
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kGatherAhead < count) prefetch_row(data.row(candidates[i + kGatherAhead].id), d);
      // Every candidate is near p, so p's own row serves as the origin as well as their mean
      // would, and needs no pass of its own.
      scratch.norms[i] = move_row(data.row(candidates[i].id), data.row(p), d,
                                  scratch.rows.data() + i * d);
      scratch.dists[i] = candidates[i].dist;
    }
    scratch.gram.resize(count * count);
    gram_upper(scratch.rows.data(), count, d, scratch.gram.data());
  }
  const float margin = product_margin(d);

  std::size_t chosen = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!alive[i]) continue;
    const PointId c = candidates[i].id;
    out[chosen++] = c;
    // Flags set after the last choice would never be read.
    if (chosen == r) break;
    const float* vc = data.row(c);
    auto& rest = scratch.rest;
    rest.clear();
    if (screen) {
      screen_row(scratch.gram.data() + i * count, scratch.norms.data(), scratch.dists.data(),
                 scratch.norms[i], a2, margin, i + 1, count, alive.data(), rest);
    } else {
      for (std::size_t k = i + 1; k < count; ++k) {
        if (alive[k]) rest.push_back(k);
      }
    }
    // The undecided candidates, scored four at a time against c: independent accumulation
    // chains run in parallel, and each distance is the same as a single call's.
    std::size_t j = 0;
    for (; j + 4 <= rest.size(); j += 4) {
      const float* rows[4];
      for (int q = 0; q < 4; ++q) rows[q] = data.row(candidates[rest[j + q]].id);
      float g[4];
      dist4(vc, rows, d, g);
      for (int q = 0; q < 4; ++q) {
        // A NaN on either side compares false and keeps the candidate.
        if (candidates[rest[j + q]].dist > a2 * g[q]) alive[rest[j + q]] = 0;
      }
    }
    for (; j < rest.size(); ++j) {
      const std::size_t k = rest[j];
      if (candidates[k].dist > a2 * dist(vc, data.row(candidates[k].id), d)) alive[k] = 0;
    }
  }
  return chosen;
}

std::vector<PointId> robust_prune(const Dataset& data, PointId p, std::vector<Neighbor>& candidates,
                                  std::size_t r, float alpha) {
  std::vector<PointId> out(std::min(r, candidates.size()));
  PruneScratch scratch;
  out.resize(robust_prune_into(data, p, candidates, alpha, out, scratch));
  return out;
}

}  // namespace orlim
