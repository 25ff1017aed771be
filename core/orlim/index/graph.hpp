// The final search graph in compressed rows, and the fixed-width row form the build uses on the
// way there.
//
// A Graph is immutable once made and may be read by any number of searches at once; searches
// read it through a GraphView, which can equally point into borrowed memory (a mapped file). A
// FlatAdjacency is plain working state of the build: each parallel task writes only the rows it
// owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "orlim/base/types.hpp"

namespace orlim {

// n rows of exactly r id slots plus a degree per row. Only the first degrees[v] slots of row v
// are meaningful; every other slot holds kNoPoint.
struct FlatAdjacency {
  FlatAdjacency() = default;
  // All slots kNoPoint, all degrees 0 (Failure when n * r overflows).
  FlatAdjacency(std::size_t n, std::size_t r);

  std::span<PointId> row(std::size_t v) { return {slots.data() + v * r, r}; }
  std::span<const PointId> row(std::size_t v) const { return {slots.data() + v * r, r}; }
  std::span<const PointId> list(std::size_t v) const { return {slots.data() + v * r, degrees[v]}; }

  std::vector<PointId> slots;          // n * r ids, row v at [v * r, v * r + r)
  std::vector<std::uint32_t> degrees;  // n entries, each at most r
  std::size_t n = 0;
  std::size_t r = 0;
};

struct Graph {
  // Node v's out-neighbours are neighbors[offsets[v] .. offsets[v + 1]); offsets[0] == 0 and
  // offsets.back() == neighbors.size(), so an empty graph still has one offset.
  std::vector<std::size_t> offsets = std::vector<std::size_t>(1, 0);
  std::vector<PointId> neighbors;
  PointId entry = 0;  // where searches start; 0 for an empty graph

  std::size_t n() const { return offsets.size() - 1; }
  std::span<const PointId> neighbors_of(std::size_t v) const {
    return {neighbors.data() + offsets[v], offsets[v + 1] - offsets[v]};
  }

  // Packs one list per node, in order, exactly as given: no dedup, no self-loop removal, no
  // degree bound. The lists are consumed.
  static Graph from_adjacency(std::vector<std::vector<PointId>> lists, PointId entry);
  // Packs the first degrees[v] slots of every row, node after node (Failure when a degree
  // exceeds the row width).
  static Graph from_flat(const FlatAdjacency& adjacency, PointId entry);
};

// The compressed rows as searches read them: over a Graph, or over arrays owned by someone else
// that outlive the view. Cheap to copy.
struct GraphView {
  GraphView() = default;
  GraphView(const Graph& graph)  // NOLINT: every search takes a Graph where it takes a view
      : offsets(graph.offsets), neighbors(graph.neighbors), entry(graph.entry) {}
  GraphView(std::span<const std::size_t> offs, std::span<const PointId> ids, PointId start)
      : offsets(offs), neighbors(ids), entry(start) {}

  std::size_t n() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const PointId> neighbors_of(std::size_t v) const {
    return {neighbors.data() + offsets[v], offsets[v + 1] - offsets[v]};
  }

  std::span<const std::size_t> offsets;
  std::span<const PointId> neighbors;
  PointId entry = 0;
};

// Empty when `graph` can be searched safely over n points: offsets start at 0, never decrease
// and end at the neighbour count, every id is below n, and entry is below n (0 when n is 0).
// Otherwise a message naming the first fault. Unlike check_graph_invariants it allows any
// degree, duplicates and self-loops, which only cost search time. One pass over the edges.
std::string graph_view_error(const GraphView& graph, std::size_t n);

// Failure unless `graph` is well formed and satisfies what a build guarantees: offsets start at 0,
// never decrease and end at neighbors.size(); every id is below n; no node lists itself or an id
// twice; no node has more than r neighbours; entry is below n (or 0 when n is 0).
void check_graph_invariants(const Graph& graph, std::size_t r);

}  // namespace orlim
