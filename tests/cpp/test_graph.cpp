#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "orlim/base/failure.hpp"
#include "orlim/index/graph.hpp"

namespace orlim {
namespace {

TEST(GraphFromAdjacency, PacksListsAsGiven) {
  struct Case {
    const char* name;
    std::vector<std::vector<PointId>> lists;
    PointId entry;
    std::vector<std::size_t> offsets;
    std::vector<PointId> neighbors;
  };
  const std::vector<Case> cases = {
      {"no lists", {}, 0, {0}, {}},
      {"empty lists", {{}, {}}, 1, {0, 0, 0}, {}},
      // Nothing is cleaned up: self loops, repeats and any degree stay.
      {"lists kept verbatim", {{1, 2}, {}, {2, 0, 0}}, 2, {0, 2, 2, 5}, {1, 2, 2, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Graph g = Graph::from_adjacency(c.lists, c.entry);
    EXPECT_EQ(g.offsets, c.offsets);
    EXPECT_EQ(g.neighbors, c.neighbors);
    EXPECT_EQ(g.entry, c.entry);
    EXPECT_EQ(g.n(), c.lists.size());
  }
}

TEST(GraphFromFlat, PacksTheMeaningfulSlotsOfEachRow) {
  FlatAdjacency flat(4, 3);
  flat.row(0)[0] = 2;
  flat.row(0)[1] = 3;
  flat.degrees[0] = 2;
  flat.row(2)[0] = 1;
  flat.row(2)[1] = 0;
  flat.row(2)[2] = 3;
  flat.degrees[2] = 3;
  flat.row(3)[0] = 7;  // past the degree: never copied
  const Graph g = Graph::from_flat(flat, 2);
  EXPECT_EQ(g.offsets, (std::vector<std::size_t>{0, 2, 2, 5, 5}));
  EXPECT_EQ(g.neighbors, (std::vector<PointId>{2, 3, 1, 0, 3}));
  EXPECT_EQ(g.entry, 2u);
  const auto list = g.neighbors_of(2);
  EXPECT_EQ(std::vector<PointId>(list.begin(), list.end()), (std::vector<PointId>{1, 0, 3}));

  flat.degrees[1] = 4;
  EXPECT_THROW(Graph::from_flat(flat, 0), Failure);
}

TEST(GraphInvariants, AcceptAWellFormedGraph) {
  EXPECT_NO_THROW(check_graph_invariants(Graph{}, 1));
  EXPECT_NO_THROW(check_graph_invariants(Graph::from_adjacency({{1, 2}, {0}, {}}, 2), 2));
}

TEST(GraphInvariants, NameEachBrokenRule) {
  // Every case breaks one rule of the same valid 3-node graph.
  struct Case {
    const char* name;
    std::function<void(Graph&)> mutate;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"self loop", [](Graph& g) { g.neighbors[0] = 0; }, "lists itself"},
      {"repeated id", [](Graph& g) { g.neighbors[1] = 1; }, "lists an id twice"},
      {"id out of range", [](Graph& g) { g.neighbors[2] = 3; }, "out of range"},
      {"degree over r",
       [](Graph& g) {
         g.neighbors.insert(g.neighbors.begin() + 2, 2);
         g.offsets[1] = 3;
         g.offsets[2] = 4;
         g.offsets[3] = 4;
       },
       "more than 2 neighbours"},
      {"entry out of range", [](Graph& g) { g.entry = 3; }, "entry point"},
      {"offsets not starting at 0", [](Graph& g) { g.offsets[0] = 1; }, "start at 0"},
      {"offsets decreasing", [](Graph& g) { g.offsets[1] = 4; }, "must not decrease"},
      {"offsets not ending at the size", [](Graph& g) { g.neighbors.push_back(1); }, "end at"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph g = Graph::from_adjacency({{1, 2}, {0}, {}}, 1);
    c.mutate(g);
    try {
      check_graph_invariants(g, 2);
      ADD_FAILURE() << "no failure";
    } catch (const Failure& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  Graph empty;
  empty.entry = 1;
  EXPECT_THROW(check_graph_invariants(empty, 1), Failure);
}

}  // namespace
}  // namespace orlim
