// The layered HNSW graph: level assignment, parallel insertion, and search of the frozen graph.
//
// The graph knows points only by id and reaches their data through a distance functor `dist`
// with `float operator()(PointId a, PointId b) const` (and optionally `void prefetch(PointId)
// const`, a hint that the point's data is about to be read). Everything here is a template over
// that functor: the exact and the quantized variants share the algorithm, each compiled with its
// own distance inlined into the search loops.
//
// Thread-safety: `Hnsw::build` inserts points on the current worker pool. During the build each
// (point, layer) list has its own lock and the entry state a reader-writer lock; no thread holds
// two of them at once. The frozen `Hnsw` is immutable and may be searched by any number of
// threads, each with its own `TaskScratch`.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <vector>

#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/base/types.hpp"

namespace orlim::hnsw {

// The HNSW parameter record. The graph reads m, ef_construction and seed; the driver the rest.
struct HnswParams {
  std::size_t m = 16;                 // list bound on layers >= 1; 2 * m on layer 0
  std::size_t ef_construction = 200;  // beam width of the insertion searches
  std::size_t ef_search = 64;         // beam width of the final searches (at least the stride)
  std::uint64_t seed = 0;             // seeds the level draws
  bool sq8 = false;                   // search over 8-bit codes instead of the float vectors
};

inline constexpr std::size_t kMaxLevel = 24;

// Levels of points 0 .. n-1, each in [0, kMaxLevel]: floor(-ln(max(u, 1e-12)) / ln(m)) for one
// uniform u per point, drawn in point order from the generator seeded with
// seed ^ kHnswLevelSeedXor. m = 0 gives all zeros, m = 1 all kMaxLevel.
std::vector<std::size_t> draw_levels(std::size_t n, std::size_t m, std::uint64_t seed);

// A search entry: the distance's IEEE-754 bit pattern in the high half, the id in the low half.
// One unsigned comparison orders entries by distance, then by smaller id. For the non-negative
// distances both functors produce this is the numeric order; NaN patterns sort above +infinity,
// so garbage input reorders results but never breaks a heap.
using Entry = std::uint64_t;

inline Entry make_entry(float dist, PointId id) {
  return (std::uint64_t{std::bit_cast<std::uint32_t>(dist)} << 32) | id;
}
inline PointId entry_id(Entry e) { return static_cast<PointId>(e); }
inline std::uint32_t entry_dist_bits(Entry e) { return static_cast<std::uint32_t>(e >> 32); }
inline float entry_dist(Entry e) { return std::bit_cast<float>(entry_dist_bits(e)); }

// Points visited by the current search: p is visited when marks[p] == stamp. Starting a search
// costs one increment; the marks are cleared only when the stamp wraps around.
struct VisitedSet {
  explicit VisitedSet(std::size_t n);  // max(n, 1) marks, all 0

  // Starts a new search: afterwards no point is visited.
  void begin_search();
  // Marks p; true when it was not yet visited in this search.
  bool visit(PointId p) {
    if (marks[p] == stamp) return false;
    marks[p] = stamp;
    return true;
  }

  std::vector<std::uint32_t> marks;
  std::uint32_t stamp = 0;
};

// Working state of one parallel task, reused for every insertion or search the task runs.
struct TaskScratch {
  explicit TaskScratch(std::size_t n) : visited(n) {}

  VisitedSet visited;
  std::vector<Entry> candidates;         // min-heap C of search_layer
  std::vector<Entry> results;            // max-heap W of search_layer
  std::vector<PointId> list;             // copy of the list being expanded
  std::vector<PointId> fresh;            // its ids not visited before
  std::vector<Entry> selection;          // candidates handed to select_neighbors
  std::vector<PointId> chosen;           // select_neighbors' output
  std::vector<PointId> pruned;           // a neighbour's re-selected list
  std::vector<PointId> linked;           // a new point's chosen neighbours, layer after layer
  std::vector<std::size_t> linked_ends;  // end of each layer's run in `linked`
};

// Every (point, layer) neighbour list in two flat slabs, one block per list: word 0 is the list's
// lock (used only while building), word 1 its length, then room for `capacity(layer)` ids. Point
// p of level L(p) has a block on layer 0 and blocks for layers 1 .. L(p) in the upper slab.
struct Links {
  Links() = default;
  // Empty lists for points of the given levels (Failure when the slabs' sizes overflow).
  Links(std::span<const std::size_t> levels, std::size_t capacity0, std::size_t capacity_up);

  std::size_t size() const { return upper_begin.empty() ? 0 : upper_begin.size() - 1; }
  std::size_t level(PointId p) const { return upper_begin[p + 1] - upper_begin[p]; }
  std::size_t capacity(std::size_t layer) const { return layer == 0 ? capacity0 : capacity_up; }

  // Word offset of p's block on `layer` within its slab. Precondition: layer <= level(p).
  std::size_t offset(PointId p, std::size_t layer) const {
    return layer == 0 ? p * (2 + capacity0) : (upper_begin[p] + layer - 1) * (2 + capacity_up);
  }
  PointId* block(PointId p, std::size_t layer) {
    return (layer == 0 ? level0.data() : upper.data()) + offset(p, layer);
  }
  const PointId* block(PointId p, std::size_t layer) const {
    return (layer == 0 ? level0.data() : upper.data()) + offset(p, layer);
  }
  std::span<const PointId> list(PointId p, std::size_t layer) const {
    const PointId* b = block(p, layer);
    return {b + 2, b[1]};
  }
  // Hint that p's list on `layer` is about to be read: its first three cache lines at most.
  void prefetch(PointId p, std::size_t layer) const {
    const PointId* b = block(p, layer);
    const std::size_t words = 2 + capacity(layer);
    for (std::size_t w = 0; w < words && w < 48; w += 16) __builtin_prefetch(b + w);
  }

  std::size_t capacity0 = 0;
  std::size_t capacity_up = 0;
  std::vector<PointId> level0;           // n blocks of 2 + capacity0 words
  std::vector<PointId> upper;            // upper_begin[n] blocks of 2 + capacity_up words
  std::vector<std::size_t> upper_begin;  // n + 1 block indices into `upper`
};

// The frozen graph: immutable, searched without locks.
struct Hnsw {
  // Draws the levels, inserts points 1 .. n-1 in parallel on the current pool (point 0 is the
  // first entry point) and freezes the lists. With one worker the result depends only on the
  // distances and the parameters. n = 0 gives an empty graph.
  template <class Dist>
  static Hnsw build(std::size_t n, const Dist& dist, const HnswParams& params);

  // Up to k (id, distance) pairs for point q, nearest first, ties by smaller id: a greedy descent
  // from the entry point, then a beam of max(ef, k) on layer 0.
  template <class Dist>
  std::vector<Neighbor> search(const Dist& dist, PointId q, std::size_t k, std::size_t ef,
                               TaskScratch& scratch) const;

  // The list of p on `layer`, read in place (the buffer of the build-time reader is not needed).
  std::span<const PointId> neighbors(PointId p, std::size_t layer, std::vector<PointId>&) const {
    return links.list(p, layer);
  }

  Links links;
  std::size_t max_level = 0;
  PointId entry = 0;
};

// Best-first search on one layer from `ep`, with a beam of `ef`. `graph` is the frozen `Hnsw` or
// the build-time state: it has `links` and neighbors(p, layer, buffer) -> span of p's ids on that
// layer. Returns the result heap's entries (in heap order, at least one), valid until the
// scratch's next search.
template <class Dist, class Graph>
std::span<const Entry> search_layer(const Dist& dist, PointId q, PointId ep, std::size_t ef,
                                    std::size_t layer, Graph& graph, TaskScratch& scratch);

// The diversity heuristic: walking `candidates` (entries of distance to q) nearest first, keeps a
// candidate unless an already kept neighbour s has dist(s, c) < dist(q, c); skips q itself and
// stops at `max_count` kept ids, written to `chosen`. Sorts `candidates` in place.
template <class Dist>
void select_neighbors(const Dist& dist, PointId q, std::vector<Entry>& candidates,
                      std::size_t max_count, std::vector<PointId>& chosen);

// --- implementation -------------------------------------------------------------------------

namespace detail {

// A list's lock is word 0 of its block, a sequence number: odd while a writer holds the list,
// advanced by 2 by every completed change. Writers take it exclusively (replacing a list, or
// appending to it and pruning it). A reader copies the list without writing anything and retries
// when the number moved while it copied, so reading never pulls a cache line away from another
// core; the copy is the list as it stood between two changes, exactly what a copy under an
// exclusive lock would give. Every word of a block is accessed atomically during the build (relaxed
// loads and stores compile to plain moves).
inline std::atomic_ref<std::uint32_t> word(PointId* w) {
  return std::atomic_ref<std::uint32_t>(*w);
}

// Spins, then yields: the holder may have been descheduled (more workers than cores).
void back_off(unsigned attempt);

inline void lock_list(PointId* block) {
  auto seq = word(block);
  for (unsigned attempt = 0;; ++attempt) {
    std::uint32_t now = seq.load(std::memory_order_relaxed);
    if ((now & 1) == 0 && seq.compare_exchange_weak(now, now + 1, std::memory_order_acquire)) {
      // Readers that see the new ids must also see the odd number.
      std::atomic_thread_fence(std::memory_order_release);
      return;
    }
    back_off(attempt);
  }
}
inline void unlock_list(PointId* block) {
  auto seq = word(block);
  seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Overwrites a locked list.
inline void write_list(PointId* block, std::span<const PointId> ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    word(block + 2 + i).store(ids[i], std::memory_order_relaxed);
  }
  word(block + 1).store(static_cast<std::uint32_t>(ids.size()), std::memory_order_relaxed);
}

// Copies an unlocked list into `buffer`. The length read is always one some writer stored, so
// the copy stays within the block even when it has to be retried.
inline std::span<const PointId> read_list(PointId* block, std::vector<PointId>& buffer) {
  auto seq = word(block);
  for (unsigned attempt = 0;; ++attempt) {
    const std::uint32_t before = seq.load(std::memory_order_acquire);
    if ((before & 1) == 0) {
      const std::uint32_t count = word(block + 1).load(std::memory_order_relaxed);
      buffer.resize(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        buffer[i] = word(block + 2 + i).load(std::memory_order_relaxed);
      }
      std::atomic_thread_fence(std::memory_order_acquire);
      if (seq.load(std::memory_order_relaxed) == before) return buffer;
    }
    back_off(attempt);
  }
}

template <class Dist>
inline void prefetch_point(const Dist& dist, PointId p) {
  if constexpr (requires { dist.prefetch(p); }) dist.prefetch(p);
}

inline Entry nearest(std::span<const Entry> entries) {
  return *std::min_element(entries.begin(), entries.end());
}

// The lists while they are being linked, and the entry state.
struct Building {
  Building(std::span<const std::size_t> levels, std::size_t m);

  // Copies p's list on `layer` into `buffer`; distances are computed on the copy.
  std::span<const PointId> neighbors(PointId p, std::size_t layer, std::vector<PointId>& buffer) {
    return read_list(links.block(p, layer), buffer);
  }

  Links links;                    // every list guarded by the sequence lock in its block's word 0
  std::size_t bound0 = 0;         // list bound on layer 0: 2 * m
  std::size_t bound_up = 0;       // list bound on upper layers: m
  std::shared_mutex entry_mutex;  // guards entry and max_level
  PointId entry = 0;
  std::size_t max_level = 0;
};

// Puts q into r's list on `layer`, holding only that list's lock. When the list would exceed
// `bound`, it is re-selected from its ids and q by distance to r.
template <class Dist>
void add_reverse_link(Building& g, const Dist& dist, PointId r, PointId q, std::size_t layer,
                      std::size_t bound, TaskScratch& s) {
  PointId* b = g.links.block(r, layer);
  lock_list(b);
  PointId* ids = b + 2;
  const std::size_t count = b[1];
  // A list never holds an id twice, which is what lets its capacity stop at n - 1. The order of
  // the insertion steps already rules a second q out; the scan is cheap beside the distances and
  // keeps the block from overflowing should that ever change.
  if (std::find(ids, ids + count, q) == ids + count) {
    if (count < bound) {
      word(ids + count).store(q, std::memory_order_relaxed);
      word(b + 1).store(static_cast<std::uint32_t>(count + 1), std::memory_order_relaxed);
    } else {
      s.selection.clear();
      for (std::size_t i = 0; i < count; ++i) {
        s.selection.push_back(make_entry(dist(r, ids[i]), ids[i]));
      }
      s.selection.push_back(make_entry(dist(r, q), q));
      select_neighbors(dist, r, s.selection, bound, s.pruned);
      write_list(b, s.pruned);
    }
  }
  unlock_list(b);
}

template <class Dist>
void insert_point(Building& g, const Dist& dist, PointId q, std::size_t ef_construction,
                  TaskScratch& s) {
  PointId ep;
  std::size_t top;
  {
    std::shared_lock<std::shared_mutex> read(g.entry_mutex);
    ep = g.entry;
    top = g.max_level;
  }
  const std::size_t level = g.links.level(q);
  for (std::size_t lc = top; lc > level; --lc) {
    ep = entry_id(nearest(search_layer(dist, q, ep, 1, lc, g, s)));
  }
  // q's own lists are all written before any other list points to q: a search that reaches q on
  // one layer and descends from it must find q's lists below already in place, or it starts that
  // layer from an empty list and links its point to q alone. A one-worker build is the same
  // either way, since the searches below a layer never read that layer's lists.
  s.linked.clear();
  s.linked_ends.clear();
  for (std::size_t lc = std::min(top, level) + 1; lc-- > 0;) {
    const auto found = search_layer(dist, q, ep, ef_construction, lc, g, s);
    const PointId next_ep = entry_id(nearest(found));
    s.selection.assign(found.begin(), found.end());
    select_neighbors(dist, q, s.selection, lc == 0 ? g.bound0 : g.bound_up, s.chosen);
    PointId* own = g.links.block(q, lc);
    lock_list(own);
    write_list(own, s.chosen);
    unlock_list(own);
    s.linked.insert(s.linked.end(), s.chosen.begin(), s.chosen.end());
    s.linked_ends.push_back(s.linked.size());
    ep = next_ep;
  }
  std::size_t begin = 0;
  for (std::size_t i = 0; i < s.linked_ends.size(); ++i) {
    const std::size_t lc = s.linked_ends.size() - 1 - i;  // runs were stored from the top down
    for (std::size_t j = begin; j < s.linked_ends[i]; ++j) {
      add_reverse_link(g, dist, s.linked[j], q, lc, lc == 0 ? g.bound0 : g.bound_up, s);
    }
    begin = s.linked_ends[i];
  }
  if (level > top) {
    std::unique_lock<std::shared_mutex> write(g.entry_mutex);
    if (level > g.max_level) {
      g.entry = q;
      g.max_level = level;
    }
  }
}

}  // namespace detail

template <class Dist, class Graph>
std::span<const Entry> search_layer(const Dist& dist, PointId q, PointId ep, std::size_t ef,
                                    std::size_t layer, Graph& graph, TaskScratch& s) {
  auto& cand = s.candidates;  // min-heap: std::greater
  auto& best = s.results;     // max-heap: std::less; best.front() is the farthest kept entry
  cand.clear();
  best.clear();
  s.visited.begin_search();
  s.visited.visit(ep);
  const Entry first = make_entry(dist(q, ep), ep);
  cand.push_back(first);
  best.push_back(first);
  while (!cand.empty()) {
    std::pop_heap(cand.begin(), cand.end(), std::greater<>());
    const Entry c = cand.back();
    cand.pop_back();
    // Compare distances only: a candidate as far as the farthest kept entry is still expanded.
    if (best.size() >= ef && entry_dist_bits(c) > entry_dist_bits(best.front())) break;

    // The next candidate is likely expanded next: load its list while this one is evaluated.
    if (!cand.empty()) graph.links.prefetch(entry_id(cand.front()), layer);
    const auto ids = graph.neighbors(entry_id(c), layer, s.list);
    s.fresh.clear();
    for (PointId e : ids) {
      if (s.visited.visit(e)) {
        s.fresh.push_back(e);
        detail::prefetch_point(dist, e);
      }
    }
    for (PointId e : s.fresh) {
      const Entry x = make_entry(dist(q, e), e);
      if (best.size() < ef || entry_dist_bits(x) < entry_dist_bits(best.front())) {
        cand.push_back(x);
        std::push_heap(cand.begin(), cand.end(), std::greater<>());
        best.push_back(x);
        std::push_heap(best.begin(), best.end());
        if (best.size() > ef) {
          std::pop_heap(best.begin(), best.end());
          best.pop_back();
        }
      }
    }
  }
  return best;
}

template <class Dist>
void select_neighbors(const Dist& dist, PointId q, std::vector<Entry>& candidates,
                      std::size_t max_count, std::vector<PointId>& chosen) {
  std::sort(candidates.begin(), candidates.end());
  chosen.clear();
  for (const Entry c : candidates) {
    const PointId id = entry_id(c);
    if (id == q) continue;
    if (chosen.size() >= max_count) break;
    const float dc = entry_dist(c);
    bool keep = true;
    for (const PointId kept : chosen) {
      if (dist(kept, id) < dc) {
        keep = false;
        break;
      }
    }
    if (keep) chosen.push_back(id);
  }
}

template <class Dist>
Hnsw Hnsw::build(std::size_t n, const Dist& dist, const HnswParams& params) {
  if (n == 0) return Hnsw{};
  const std::vector<std::size_t> levels = draw_levels(n, params.m, params.seed);
  detail::Building g(levels, params.m);
  // Contiguous ranges inserted in increasing order; one visited set per task.
  constexpr std::size_t kPointsPerTask = 64;
  if (n > 1) {
    parallel_for_blocks(n - 1, kPointsPerTask, [&](std::size_t lo, std::size_t hi) {
      TaskScratch scratch(n);
      for (std::size_t i = lo; i < hi; ++i) {
        cancellation_point();
        detail::insert_point(g, dist, static_cast<PointId>(i + 1), params.ef_construction, scratch);
      }
    });
  }
  Hnsw frozen;
  frozen.links = std::move(g.links);
  frozen.max_level = g.max_level;
  frozen.entry = g.entry;
  return frozen;
}

template <class Dist>
std::vector<Neighbor> Hnsw::search(const Dist& dist, PointId q, std::size_t k, std::size_t ef,
                                   TaskScratch& scratch) const {
  PointId ep = entry;
  for (std::size_t lc = max_level; lc >= 1; --lc) {
    ep = entry_id(detail::nearest(search_layer(dist, q, ep, 1, lc, *this, scratch)));
  }
  const auto found = search_layer(dist, q, ep, std::max(ef, k), 0, *this, scratch);
  scratch.selection.assign(found.begin(), found.end());
  std::sort(scratch.selection.begin(), scratch.selection.end());
  const std::size_t count = std::min(k, scratch.selection.size());
  std::vector<Neighbor> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = Neighbor{entry_id(scratch.selection[i]), entry_dist(scratch.selection[i])};
  }
  return out;
}

}  // namespace orlim::hnsw
