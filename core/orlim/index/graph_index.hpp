// A built graph index: the stored values (rows normalized for the cosine metric), the Dataset over
// them, the search graph, the build parameters and optionally the candidates the build retained.
//
// The values and graph rows are either owned (a fresh build) or borrowed from memory that the
// owner keeps alive and unchanged for the index's whole life (a mapped file). Immutable once made:
// any number of searches may read it at once without locks. Searches run their parallel loops on
// the current pool.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "orlim/build/build_params.hpp"
#include "orlim/build/retained.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/data/knn_result.hpp"
#include "orlim/index/graph.hpp"
#include "orlim/index/search_params.hpp"

namespace orlim {

class GraphIndex {
 public:
  // Builds over `data`, which the index takes over (a Dataset that borrows its caller's values
  // keeps borrowing them). Retains up to `retain` candidates per point for the Warm and Reservoir
  // self-kNN modes. Failure on parameters the build cannot run with.
  static GraphIndex build(Dataset data, const BuildParams& params, std::size_t retain = 0);
  // Builds over n x d row-major `values` as given, taking them over (cosine keeps only the
  // normalized copy).
  static GraphIndex build(std::vector<float> values, std::size_t n, std::size_t d,
                          const BuildParams& params);
  // An index over `stored` values (n x d, rows as stored_values() gives them) and graph rows that
  // the caller keeps alive. Failure naming the fault when the graph does not fit n
  // (graph_view_error); the values themselves can hold anything finite.
  static GraphIndex borrow(std::span<const float> stored, std::size_t n, std::size_t d,
                           const BuildParams& params, GraphView graph);

  GraphIndex(GraphIndex&&) noexcept = default;
  GraphIndex& operator=(GraphIndex&&) noexcept = default;

  // k-NN of n_q external query rows (n_q x d, used as given), as knn_query produces them: stride
  // min(n, k), padded rows repeat their last entry. search.mode is not read.
  SelfKnn query(std::span<const float> queries, std::size_t n_q, const SearchParams& search) const;

  // k-NN of n_q query rows with k distinct neighbours per row (needs 1 <= k <= n): cosine queries
  // are normalized here, and a zero vector (query or indexed) is at cosine distance 1 from
  // everything; rows the graph search cannot fill with distinct points are answered exactly.
  SelfKnn query_distinct(std::span<const float> queries, std::size_t n_q, std::size_t k,
                         std::size_t beam_l) const;

  // Self-kNN of the indexed points from the kept graph (knn_self_graph / knn_self_reservoir by
  // search.mode): stride min(n, k + 1), each point first.
  SelfKnn self_knn(const SearchParams& search) const;

  // The k nearest other points of every indexed point (needs 1 <= k < n), distinct, by the rules
  // of query_distinct; the point itself is never listed, exact duplicates of it are. Exact by
  // brute force when n <= min(c_max, 2048).
  SelfKnn self_knn_distinct(std::size_t k, std::size_t beam_l) const;

  const Dataset& data() const { return data_; }
  GraphView graph() const { return graph_; }
  const BuildParams& params() const { return params_; }
  const RetainedCands& retained() const { return retained_; }
  std::span<const float> stored_values() const { return data_.data; }
  std::size_t n() const { return data_.n; }
  std::size_t d() const { return data_.d; }
  Metric metric() const { return data_.metric; }
  // Bytes of the values, norms and graph rows the index reads (borrowed ones included).
  std::size_t nbytes() const;

 private:
  GraphIndex(std::vector<float> values, Dataset data, const BuildParams& params);

  std::vector<float> owned_values_;  // what data_ borrows when the index owns Euclidean values
  Dataset data_;
  Graph owned_graph_;  // empty when the rows are borrowed
  GraphView graph_;
  RetainedCands retained_;
  BuildParams params_;
  std::size_t zero_rows_ = 0;  // cosine: indexed rows of norm 0, each at distance 1 from all
};

}  // namespace orlim
