#include "orlim/build/symmetrize.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/base/select.hpp"

namespace orlim {
namespace {

// Nodes per parallel task: enough to amortise the task's two scratch lists, small enough for
// work stealing to even out nodes whose merged list needs distances.
constexpr std::size_t kNodesPerTask = 256;

// In-edges of every node in compressed rows: the sources u listing w are ids[off[w] .. off[w+1]),
// in ascending u. Out-edges stay in the pruned rows, so only half the edges are scattered.
struct InEdges {
  std::vector<std::size_t> off;
  std::vector<PointId> ids;
};

InEdges collect_in_edges(std::span<const PointId> rows, std::span<const std::uint32_t> degrees,
                         std::size_t n, std::size_t r) {
  InEdges in;
  in.off.assign(n + 1, 0);
  for (std::size_t u = 0; u < n; ++u) {
    if (degrees[u] > r) fail("symmetrize_flat: pruned degree exceeds the row width");
    for (const PointId w : rows.subspan(u * r, degrees[u])) {
      if (w >= n) fail("symmetrize_flat: pruned list holds an id out of range");
      ++in.off[w + 1];
    }
  }
  for (std::size_t v = 0; v < n; ++v) in.off[v + 1] += in.off[v];
  in.ids.resize(in.off[n]);
  std::vector<std::size_t> cursor(in.off.begin(), in.off.end() - 1);
  for (std::size_t u = 0; u < n; ++u) {
    for (const PointId w : rows.subspan(u * r, degrees[u])) {
      in.ids[cursor[w]++] = static_cast<PointId>(u);
    }
  }
  return in;
}

}  // namespace

FlatAdjacency symmetrize_flat(const Dataset& data, std::span<const PointId> rows,
                              std::span<const std::uint32_t> degrees, std::size_t n,
                              std::size_t r) {
  if (n > data.n) fail("symmetrize_flat: more nodes than points");
  if (degrees.size() != n || rows.size() != checked_mul(n, r, "pruned rows")) {
    fail("symmetrize_flat: pruned rows do not match n and r");
  }
  const InEdges in = collect_in_edges(rows, degrees, n, r);
  FlatAdjacency out(n, r);

  const SqL2x4Fn dist4 = sq_l2_x4_kernel();
  const std::size_t d = data.d;

  parallel_for_blocks(n, kNodesPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<PointId> outs, ids;
    std::vector<std::int32_t> bits;
    outs.reserve(r);
    ids.reserve(2 * r);
    bits.reserve(2 * r + 4);
    for (std::size_t v = lo; v < hi; ++v) {
      // The in-edges arrive in ascending source order, so only the out-edges need sorting before
      // the two lists are merged into one ascending list without repeats.
      const auto own = rows.subspan(v * r, degrees[v]);
      outs.assign(own.begin(), own.end());
      std::sort(outs.begin(), outs.end());
      const auto in_begin = in.ids.begin() + static_cast<std::ptrdiff_t>(in.off[v]);
      const auto in_end = in.ids.begin() + static_cast<std::ptrdiff_t>(in.off[v + 1]);
      ids.resize(outs.size() + static_cast<std::size_t>(in_end - in_begin));
      ids.erase(std::merge(outs.begin(), outs.end(), in_begin, in_end, ids.begin()), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
      std::erase(ids, static_cast<PointId>(v));

      const auto row = out.row(v);
      const std::size_t count = ids.size();
      if (count > r) {
        // The r nearest by (distance, id), kept in ascending id order. A NaN (never made from
        // finite data) reads as larger than every number, so it is never kept ahead of one.
        const float* pv = data.row(v);
        bits.resize(count + 4);
        constexpr std::size_t kAhead = 8;  // rows requested ahead of their distance
        for (std::size_t j = 0; j < std::min(kAhead, count); ++j) {
          prefetch_row(data.row(ids[j]), d);
        }
        for (std::size_t j = 0; j < count; j += 4) {
          const float* others[4];
          for (std::size_t q = 0; q < 4; ++q) {
            const std::size_t at = std::min(j + q, count - 1);
            if (at + kAhead < count) prefetch_row(data.row(ids[at + kAhead]), d);
            others[q] = data.row(ids[at]);
          }
          float s[4];
          dist4(pv, others, d, s);
          for (std::size_t q = 0; q < 4; ++q) {
            bits[j + q] = std::bit_cast<std::int32_t>(s[q]) & 0x7FFFFFFF;
          }
        }
        keep_smallest_in_order(bits.data(), ids.data(), count, r);
        std::copy_n(ids.begin(), r, row.begin());
        out.degrees[v] = static_cast<std::uint32_t>(r);
      } else {
        std::copy(ids.begin(), ids.end(), row.begin());
        out.degrees[v] = static_cast<std::uint32_t>(count);
      }
    }
  });
  return out;
}

PointId approx_medoid(const Dataset& data) {
  const std::size_t n = data.n;
  const std::size_t d = data.d;
  if (n == 0) return 0;
  std::vector<float> centroid(d, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    const float* x = data.row(i);
    for (std::size_t j = 0; j < d; ++j) centroid[j] += x[j];
  }
  // A reciprocal multiply, not a divide: the rounding of the centroid is part of the contract.
  const float inv = 1.0f / static_cast<float>(n);
  for (float& c : centroid) c *= inv;

  const SqL2Fn dist = sq_l2_kernel();
  float best = std::numeric_limits<float>::infinity();
  PointId answer = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const float s = dist(data.row(i), centroid.data(), d);
    if (s < best) {  // strict: ties keep the smaller id, NaN never wins
      best = s;
      answer = static_cast<PointId>(i);
    }
  }
  return answer;
}

}  // namespace orlim
