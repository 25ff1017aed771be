#include "orlim/index/graph.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "orlim/base/failure.hpp"

namespace orlim {

FlatAdjacency::FlatAdjacency(std::size_t rows, std::size_t width)
    : slots(checked_mul(rows, width, "adjacency rows x degree bound"), kNoPoint),
      degrees(rows, 0),
      n(rows),
      r(width) {}

Graph Graph::from_adjacency(std::vector<std::vector<PointId>> lists, PointId entry) {
  Graph graph;
  std::size_t total = 0;
  for (const auto& list : lists) total += list.size();
  graph.offsets.reserve(lists.size() + 1);
  graph.neighbors.reserve(total);
  for (auto& list : lists) {
    graph.neighbors.insert(graph.neighbors.end(), list.begin(), list.end());
    graph.offsets.push_back(graph.neighbors.size());
    std::vector<PointId>().swap(list);  // release each list as soon as it is packed
  }
  graph.entry = entry;
  return graph;
}

Graph Graph::from_flat(const FlatAdjacency& adjacency, PointId entry) {
  const std::size_t n = adjacency.n;
  if (adjacency.degrees.size() != n || adjacency.slots.size() != n * adjacency.r) {
    fail("flat adjacency sizes do not match n and r");
  }
  Graph graph;
  graph.offsets.resize(n + 1);
  std::size_t total = 0;
  for (std::size_t v = 0; v < n; ++v) {
    if (adjacency.degrees[v] > adjacency.r) fail("flat adjacency degree exceeds the row width");
    total += adjacency.degrees[v];
    graph.offsets[v + 1] = total;
  }
  graph.neighbors.resize(total);
  for (std::size_t v = 0; v < n; ++v) {
    const auto list = adjacency.list(v);
    std::copy(list.begin(), list.end(), graph.neighbors.begin() + graph.offsets[v]);
  }
  graph.entry = entry;
  return graph;
}

void check_graph_invariants(const Graph& graph, std::size_t r) {
  if (graph.offsets.empty() || graph.offsets.front() != 0) fail("graph offsets must start at 0");
  if (graph.offsets.back() != graph.neighbors.size()) {
    fail("graph offsets must end at the neighbour count");
  }
  // Monotone offsets ending at the neighbour count keep every list inside `neighbors`.
  for (std::size_t v = 0; v + 1 < graph.offsets.size(); ++v) {
    if (graph.offsets[v + 1] < graph.offsets[v]) fail("graph offsets must not decrease");
  }
  const std::size_t n = graph.n();
  if (n == 0 ? graph.entry != 0 : graph.entry >= n) fail("graph entry point out of range");
  // seen[w] == v + 1 while node v's list is being checked and w has occurred in it, so the
  // duplicate check costs one pass over the edges and never needs clearing.
  std::vector<std::size_t> seen(n, 0);
  for (std::size_t v = 0; v < n; ++v) {
    const auto list = graph.neighbors_of(v);
    if (list.size() > r) {
      fail("graph node " + std::to_string(v) + " has more than " + std::to_string(r) +
           " neighbours");
    }
    for (const PointId w : list) {
      if (w >= n) fail("graph node " + std::to_string(v) + " lists an id out of range");
      if (w == v) fail("graph node " + std::to_string(v) + " lists itself");
      if (seen[w] == v + 1) fail("graph node " + std::to_string(v) + " lists an id twice");
      seen[w] = v + 1;
    }
  }
}

std::string graph_view_error(const GraphView& graph, std::size_t n) {
  if (graph.offsets.size() != n + 1) {
    return "graph has " + std::to_string(graph.offsets.size()) + " row offsets for " +
           std::to_string(n) + " points (expected n + 1)";
  }
  if (graph.offsets.front() != 0) return "graph row offsets must start at 0";
  for (std::size_t v = 0; v < n; ++v) {
    if (graph.offsets[v + 1] < graph.offsets[v]) {
      return "graph row offsets decrease at row " + std::to_string(v + 1);
    }
  }
  if (graph.offsets.back() != graph.neighbors.size()) {
    return "graph row offsets end at " + std::to_string(graph.offsets.back()) + " but there are " +
           std::to_string(graph.neighbors.size()) + " edges";
  }
  // Any id at or above n makes the running maximum too large; one branch-free pass.
  PointId largest = 0;
  for (const PointId w : graph.neighbors) largest = std::max(largest, w);
  if (!graph.neighbors.empty() && largest >= n) {
    const auto at = std::find_if(graph.neighbors.begin(), graph.neighbors.end(),
                                 [n](PointId w) { return w >= n; });
    return "graph edge " + std::to_string(at - graph.neighbors.begin()) + " has id " +
           std::to_string(*at) + ", not below n = " + std::to_string(n);
  }
  if (n == 0 ? graph.entry != 0 : graph.entry >= n) {
    return "graph entry point " + std::to_string(graph.entry) + " is not below n = " +
           std::to_string(n);
  }
  return {};
}

}  // namespace orlim
