#include "orlim/symmetrize.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "orlim/distance.hpp"
#include "orlim/failure.hpp"
#include "orlim/parallel.hpp"

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
  const SqL2Fn dist = sq_l2_kernel();

  parallel_for_blocks(n, kNodesPerTask, [&](std::size_t lo, std::size_t hi) {
    std::vector<PointId> ids;
    std::vector<Neighbor> nearest;
    ids.reserve(2 * r);
    nearest.reserve(2 * r);
    for (std::size_t v = lo; v < hi; ++v) {
      ids.clear();
      for (const PointId w : rows.subspan(v * r, degrees[v])) {
        if (w != v) ids.push_back(w);
      }
      for (std::size_t j = in.off[v]; j < in.off[v + 1]; ++j) {
        if (in.ids[j] != v) ids.push_back(in.ids[j]);
      }
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

      const auto row = out.row(v);
      if (ids.size() > r) {
        const float* pv = data.row(v);
        nearest.clear();
        // The rows are scattered over the data set: ask for each a few distances ahead.
        constexpr std::size_t kAhead = 4;
        for (std::size_t j = 0; j < std::min(kAhead, ids.size()); ++j) {
          prefetch_row(data.row(ids[j]), data.d);
        }
        for (std::size_t j = 0; j < ids.size(); ++j) {
          if (j + kAhead < ids.size()) prefetch_row(data.row(ids[j + kAhead]), data.d);
          nearest.push_back({ids[j], dist(pv, data.row(ids[j]), data.d)});
        }
        // (distance, id) order: ties at the cut go to the smaller id and NaN is never kept ahead
        // of a number, so the kept set is fixed whatever the schedule.
        std::nth_element(nearest.begin(), nearest.begin() + r, nearest.end(), closer);
        std::sort(nearest.begin(), nearest.begin() + r,
                  [](const Neighbor& a, const Neighbor& b) { return a.id < b.id; });
        for (std::size_t j = 0; j < r; ++j) row[j] = nearest[j].id;
        out.degrees[v] = static_cast<std::uint32_t>(r);
      } else {
        std::copy(ids.begin(), ids.end(), row.begin());
        out.degrees[v] = static_cast<std::uint32_t>(ids.size());
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
