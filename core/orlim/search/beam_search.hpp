// Greedy best-first search over the final graph.
//
// Reads a Dataset and a Graph and never writes them; all per-search state lives in a Scratch
// owned by the calling task. Searches with distinct Scratch objects may run concurrently; one
// Scratch serves one search at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Per-task search state, sized once for the graph's n and reused for every query the task
// answers. A search leaves every flag at 0 and `touched` empty, so reuse costs O(nodes touched),
// not O(n).
struct Scratch {
  explicit Scratch(std::size_t n);

  std::vector<std::uint8_t> expanded;  // 1 once the node has been expanded
  std::vector<std::uint8_t> visited;   // 1 once the node's distance has been computed
  std::vector<PointId> touched;        // every node whose `visited` flag was set
};

// Searches from `starts` (duplicates allowed, may be empty) for the `beam_l` nearest nodes to
// `query` (data.d values). Fills `result` with at most `beam_l` (id, squared distance) pairs,
// nearest first, equal distances in admission order, each node at most once. A caller that
// reuses `result` and `scratch` allocates nothing once they have grown to its largest search.
// Leaves `scratch` clean.
// Failure when an id is not below n or the sizes of graph, data, scratch and query disagree.
void beam_search(const Dataset& data, GraphView graph, std::span<const PointId> starts,
                 std::span<const float> query, std::size_t beam_l, Scratch& scratch,
                 std::vector<Neighbor>& result);

// The same, returning a fresh result list.
std::vector<Neighbor> beam_search(const Dataset& data, GraphView graph,
                                  std::span<const PointId> starts, std::span<const float> query,
                                  std::size_t beam_l, Scratch& scratch);

}  // namespace orlim
