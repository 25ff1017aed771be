#include "orlim/search/beam_search.hpp"

#include <algorithm>

#include "orlim/kernels/distance.hpp"
#include "orlim/base/failure.hpp"

namespace orlim {

Scratch::Scratch(std::size_t n) : expanded(n, 0), visited(n, 0) { touched.reserve(256); }

namespace {

constexpr std::size_t kCacheLine = 64;
// Neighbour ids filtered per pass (the default degree bound); bounds the stack buffer, not the
// degree.
constexpr std::size_t kChunk = 64;
// Vectors requested ahead of the distance computation. A random vector costs a memory round trip;
// with eight in flight the loads overlap without filling every line-fill buffer.
constexpr std::size_t kPrefetchAhead = 8;
// Longer start lists are sorted with std::stable_sort.
constexpr std::size_t kInsertionSortMax = 64;

// Sorts by dist_key, equal distances keeping their order. Start lists are short, and insertion
// sort, unlike std::stable_sort, needs no temporary buffer: a search allocates nothing.
void sort_stably(std::vector<Neighbor>& list) {
  auto nearer = [](const Neighbor& a, const Neighbor& b) {
    return dist_key(a.dist) < dist_key(b.dist);
  };
  if (list.size() > kInsertionSortMax) {
    std::stable_sort(list.begin(), list.end(), nearer);
    return;
  }
  for (std::size_t i = 1; i < list.size(); ++i) {
    const Neighbor e = list[i];
    std::size_t j = i;
    for (; j > 0 && nearer(e, list[j - 1]); --j) list[j] = list[j - 1];
    list[j] = e;
  }
}

// One search. The candidate list, sorted by dist_key (a NaN distance sorts last; equal distances
// in admission order), lives in the caller's result vector; the flags live in the caller's
// Scratch.
//
// `visited` marks every node whose distance has been computed, admitted or not. Once the list
// holds beam_l entries it stays that full and its last distance never grows, so a node that was
// refused or pushed out could never be admitted later: scoring it again would only cost a
// distance evaluation. (Before the list is full nothing is refused or pushed out.)
class Search {
 public:
  Search(const Dataset& data, GraphView graph, const float* query, std::size_t beam_l,
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

  // Scores each distinct start once and keeps the beam_l nearest, equal distances in start order.
  void seed(std::span<const PointId> starts) {
    for (const PointId s : starts) {
      check_id(s);
      if (visited_[s]) continue;
      mark_visited(s);
      list_.push_back(Neighbor{s, 0.0f});
    }
    score_list();
    sort_stably(list_);
    if (list_.size() > beam_l_) list_.resize(beam_l_);
  }

  // Expands the nearest unexpanded candidate until every candidate has been expanded.
  void expand_all() {
    for (;;) {
      // Every entry before `unexpanded_from_` is expanded, so the scan for the first unexpanded
      // entry starts there rather than at the front.
      std::size_t i = unexpanded_from_;
      while (i < list_.size() && expanded_[list_[i].id]) ++i;
      if (i == list_.size()) return;
      const PointId v = list_[i].id;
      expanded_[v] = 1;
      unexpanded_from_ = i + 1;
      // The entry after v is usually the next one expanded: start loading its adjacency now so
      // that it arrives while v's neighbours are scored.
      std::size_t next = i + 1;
      while (next < list_.size() && expanded_[list_[next].id]) ++next;
      const PointId upcoming = next < list_.size() ? list_[next].id : kNoPoint;
      if (upcoming != kNoPoint) __builtin_prefetch(&graph_.offsets[upcoming], 0, 3);
      expand(graph_.neighbors_of(v), upcoming);
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

  void prefetch(PointId id) const {
    const char* p = reinterpret_cast<const char*>(row(id));
    for (std::size_t off = 0; off < row_bytes_; off += kCacheLine) {
      __builtin_prefetch(p + off, 0, 3);
    }
  }

  void prefetch_neighbours(PointId v) const {
    const auto list = graph_.neighbors_of(v);
    const char* p = reinterpret_cast<const char*>(list.data());
    const std::size_t bytes = list.size() * sizeof(PointId);
    for (std::size_t off = 0; off < bytes; off += kCacheLine) __builtin_prefetch(p + off, 0, 3);
  }

  // Fills in the distances of the seeded entries, four at a time.
  void score_list() {
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

  // Scores v's unscored neighbours and offers them to the list in neighbour order. The ids are
  // filtered first so that only vectors about to be scored are prefetched, kPrefetchAhead
  // vectors ahead of their distance computation. Distances are computed four at a time;
  // admissions stay one by one in neighbour order. `upcoming` (or kNoPoint) is the node expected
  // to be expanded next, whose neighbour list is prefetched.
  void expand(std::span<const PointId> neighbours, PointId upcoming) {
    PointId fresh[kChunk];
    for (std::size_t lo = 0; lo < neighbours.size(); lo += kChunk) {
      const std::size_t hi = std::min(neighbours.size(), lo + kChunk);
      std::size_t count = 0;
      for (std::size_t j = lo; j < hi; ++j) {
        const PointId w = neighbours[j];
        check_id(w);
        if (!visited_[w]) fresh[count++] = w;
      }
      for (std::size_t j = 0; j < std::min(count, kPrefetchAhead); ++j) prefetch(fresh[j]);
      if (lo == 0 && upcoming != kNoPoint) prefetch_neighbours(upcoming);
      std::size_t i = 0;
      for (; i + 4 <= count; i += 4) {
        const std::size_t ahead_end = std::min(count, i + kPrefetchAhead + 4);
        for (std::size_t j = i + kPrefetchAhead; j < ahead_end; ++j) prefetch(fresh[j]);
        const float* rows[4] = {row(fresh[i]), row(fresh[i + 1]), row(fresh[i + 2]),
                                row(fresh[i + 3])};
        float out[4];
        dist_x4_(query_, rows, data_.d, out);
        for (std::size_t b = 0; b < 4; ++b) offer(fresh[i + b], out[b]);
      }
      for (; i < count; ++i) offer(fresh[i], dist_(query_, row(fresh[i]), data_.d));
    }
  }

  // Inserts (g, w) after every entry of equal or smaller distance, unless the list is full and g
  // is not strictly nearer than its last entry; an entry pushed past beam_l is dropped.
  void offer(PointId w, float g) {
    if (visited_[w]) return;  // the same id twice in one neighbour list
    mark_visited(w);
    const float key = dist_key(g);
    if (list_.size() >= beam_l_ && !(key < dist_key(list_.back().dist))) return;
    const auto pos =
        std::upper_bound(list_.begin(), list_.end(), key,
                         [](float k, const Neighbor& e) { return k < dist_key(e.dist); });
    const auto at = static_cast<std::size_t>(pos - list_.begin());
    list_.insert(pos, Neighbor{w, g});
    unexpanded_from_ = std::min(unexpanded_from_, at);
    if (list_.size() > beam_l_) list_.pop_back();
  }

  const Dataset& data_;
  GraphView graph_;
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

void beam_search(const Dataset& data, GraphView graph, std::span<const PointId> starts,
                 std::span<const float> query, std::size_t beam_l, Scratch& scratch,
                 std::vector<Neighbor>& result) {
  result.clear();
  if (graph.n() != data.n) fail("beam search: graph and data set differ in size");
  if (scratch.visited.size() != data.n || scratch.expanded.size() != data.n) {
    fail("beam search: scratch is not sized for the graph");
  }
  if (query.size() < data.d) fail("beam search: query is shorter than the dimension");
  if (beam_l == 0) return;
  // The list never holds more than n nodes plus the one about to be dropped.
  result.reserve(std::min(beam_l, data.n) + 1);
  ScratchReset reset{scratch};
  Search search(data, graph, query.data(), beam_l, scratch, result);
  search.seed(starts);
  search.expand_all();
}

std::vector<Neighbor> beam_search(const Dataset& data, GraphView graph,
                                  std::span<const PointId> starts, std::span<const float> query,
                                  std::size_t beam_l, Scratch& scratch) {
  std::vector<Neighbor> result;
  beam_search(data, graph, starts, query, beam_l, scratch, result);
  return result;
}

}  // namespace orlim
