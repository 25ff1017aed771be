#include "orlim/search/beam_search.hpp"

#include <algorithm>

#include "orlim/distance.hpp"
#include "orlim/failure.hpp"

namespace orlim {

Scratch::Scratch(std::size_t n) : expanded(n, 0), visited(n, 0) { touched.reserve(256); }

namespace {

constexpr std::size_t kCacheLine = 64;

// Pulls one vector into the first-level cache ahead of its distance computation.
inline void prefetch_vector(const float* row, std::size_t bytes) {
  const char* p = reinterpret_cast<const char*>(row);
  for (std::size_t off = 0; off < bytes; off += kCacheLine) __builtin_prefetch(p + off, 0, 3);
}

// One search: the sorted candidate list lives in the caller's result vector, every flag in the
// caller's Scratch. All orderings compare dist_key, so a NaN distance sorts last.
class Search {
 public:
  Search(const Dataset& data, const Graph& graph, const float* query, std::size_t beam_l,
         Scratch& scratch, std::vector<Neighbor>& list)
      : data_(data),
        graph_(graph),
        query_(query),
        beam_l_(beam_l),
        row_bytes_(data.d * sizeof(float)),
        dist_(sq_l2_kernel()),
        dist_x4_(sq_l2_x4_kernel()),
        expanded_(scratch.expanded.data()),
        visited_(scratch.visited.data()),
        touched_(scratch.touched),
        list_(list) {}

  // Scores each distinct start once, keeps the beam_l nearest (equal distances in start order).
  void seed(std::span<const PointId> starts) {
    for (const PointId s : starts) {
      check_id(s);
      if (visited_[s]) continue;
      mark_visited(s);
      list_.push_back(Neighbor{s, 0.0f});
    }
    score_in_place();
    if (list_.size() > 1) {
      std::stable_sort(list_.begin(), list_.end(), [](const Neighbor& a, const Neighbor& b) {
        return dist_key(a.dist) < dist_key(b.dist);
      });
    }
    if (list_.size() > beam_l_) {
      // Dropped starts may be discovered again through the graph.
      for (std::size_t i = beam_l_; i < list_.size(); ++i) visited_[list_[i].id] = 0;
      list_.resize(beam_l_);
    }
  }

  // Expands the nearest unexpanded candidate until every candidate has been expanded.
  void expand_all() {
    for (;;) {
      // Every entry before `unexpanded_from_` is expanded, so the scan for the first unexpanded
      // entry can start there instead of at the front.
      std::size_t i = unexpanded_from_;
      while (i < list_.size() && expanded_[list_[i].id]) ++i;
      if (i == list_.size()) return;
      const PointId v = list_[i].id;
      expanded_[v] = 1;
      unexpanded_from_ = i + 1;
      expand(graph_.neighbors_of(v));
    }
  }

 private:
  void check_id(PointId id) const {
    if (id >= data_.n) fail("beam search reached a node id that is not below n");
  }

  void mark_visited(PointId id) {
    visited_[id] = 1;
    touched_.push_back(id);
  }

  const float* row(PointId id) const { return data_.row(id); }

  // Distances of the (unscored) list entries, four at a time.
  void score_in_place() {
    std::size_t i = 0;
    for (; i + 4 <= list_.size(); i += 4) {
      const float* rows[4] = {row(list_[i].id), row(list_[i + 1].id), row(list_[i + 2].id),
                              row(list_[i + 3].id)};
      float out[4];
      dist_x4_(query_, rows, data_.d, out);
      for (std::size_t j = 0; j < 4; ++j) list_[i + j].dist = out[j];
    }
    for (; i < list_.size(); ++i) list_[i].dist = dist_(query_, row(list_[i].id), data_.d);
  }

  // Scores v's unvisited neighbours and offers them to the list in neighbour order. Distances
  // are computed four at a time, but admissions stay one by one in list order: a neighbour that
  // was visited when filtered and is evicted before its turn could not re-enter anyway (the full
  // list's last distance is then at most its own), and a repeated id is re-checked on admission.
  void expand(std::span<const PointId> neighbours) {
    PointId batch[4];
    std::size_t pending = 0;
    const std::size_t degree = neighbours.size();
    for (std::size_t j = 0; j < degree; ++j) {
      const PointId w = neighbours[j];
      if (j + 1 < degree && neighbours[j + 1] < data_.n) {
        prefetch_vector(row(neighbours[j + 1]), row_bytes_);
      }
      check_id(w);
      if (visited_[w]) continue;
      batch[pending++] = w;
      if (pending == 4) {
        const float* rows[4] = {row(batch[0]), row(batch[1]), row(batch[2]), row(batch[3])};
        float out[4];
        dist_x4_(query_, rows, data_.d, out);
        for (std::size_t b = 0; b < 4; ++b) admit(batch[b], out[b]);
        pending = 0;
      }
    }
    for (std::size_t b = 0; b < pending; ++b) {
      admit(batch[b], dist_(query_, row(batch[b]), data_.d));
    }
  }

  // Inserts (g, w) after every entry of equal or smaller distance unless the list is full and g
  // is not strictly nearer than its last entry; an overflowing last entry is evicted and may be
  // admitted again later.
  void admit(PointId w, float g) {
    if (visited_[w]) return;
    const float key = dist_key(g);
    if (list_.size() >= beam_l_ && !(key < dist_key(list_.back().dist))) return;
    const auto pos =
        std::upper_bound(list_.begin(), list_.end(), key,
                         [](float k, const Neighbor& e) { return k < dist_key(e.dist); });
    const std::size_t at = static_cast<std::size_t>(pos - list_.begin());
    list_.insert(pos, Neighbor{w, g});
    mark_visited(w);
    unexpanded_from_ = std::min(unexpanded_from_, at);
    if (list_.size() > beam_l_) {
      visited_[list_.back().id] = 0;
      list_.pop_back();
    }
  }

  const Dataset& data_;
  const Graph& graph_;
  const float* query_;
  std::size_t beam_l_;
  std::size_t row_bytes_;
  SqL2Fn dist_;
  SqL2x4Fn dist_x4_;
  std::uint8_t* expanded_;
  std::uint8_t* visited_;
  std::vector<PointId>& touched_;
  std::vector<Neighbor>& list_;
  std::size_t unexpanded_from_ = 0;
};

// Clears the flags of every touched node on every exit, a failing search included, so the
// Scratch is clean for the task's next query.
struct ScratchReset {
  Scratch& scratch;
  ~ScratchReset() {
    for (const PointId id : scratch.touched) {
      scratch.expanded[id] = 0;
      scratch.visited[id] = 0;
    }
    scratch.touched.clear();
  }
};

}  // namespace

void beam_search(const Dataset& data, const Graph& graph, std::span<const PointId> starts,
                 std::span<const float> query, std::size_t beam_l, Scratch& scratch,
                 std::vector<Neighbor>& result) {
  result.clear();
  if (graph.n() != data.n) fail("beam search: graph and data set differ in size");
  if (scratch.visited.size() != data.n || scratch.expanded.size() != data.n) {
    fail("beam search: scratch is not sized for the graph");
  }
  if (query.size() < data.d) fail("beam search: query is shorter than the dimension");
  if (beam_l == 0) return;
  // The list never holds more than n nodes plus the one about to be evicted.
  result.reserve(std::min(beam_l, data.n) + 1);
  ScratchReset reset{scratch};
  Search search(data, graph, query.data(), beam_l, scratch, result);
  search.seed(starts);
  search.expand_all();
}

std::vector<Neighbor> beam_search(const Dataset& data, const Graph& graph,
                                  std::span<const PointId> starts, std::span<const float> query,
                                  std::size_t beam_l, Scratch& scratch) {
  std::vector<Neighbor> result;
  beam_search(data, graph, starts, query, beam_l, scratch, result);
  return result;
}

}  // namespace orlim
