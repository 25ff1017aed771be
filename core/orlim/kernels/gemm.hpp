// All-pairs squared distances inside one leaf of the partition, from one single-precision matrix
// product and the norms the Dataset already holds.
//
// Reads the Dataset only and writes nothing shared, so any number of workers may call it at once;
// the product runs on the calling thread (the BLAS is kept single-threaded, see blas.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// t x t row-major distances between the members of a leaf, by local index (leaf order), not by
// point id. The buffer is left uninitialized until the kernel writes every entry.
struct LeafDists {
  const float* row(std::size_t i) const { return values.get() + i * t; }
  float at(std::size_t i, std::size_t j) const { return values[i * t + j]; }

  std::unique_ptr<float[]> values;  // t * t
  std::size_t t = 0;
};

// Entry (i, j) is (norms[i] + norms[j]) - 2 G[i][j] with G the product of the gathered rows with
// their transpose, clamped at 0 (NaN becomes 0 too); the diagonal is exactly 0. Off the diagonal
// the product's rounding shows: identical rows (or an id repeated in the leaf) come out as 0 or
// a tiny positive value. Not forced to be symmetric. Fails when an id is not a row of `data`, when
// `data` has no norms (d = 0) and t > 0, or when a size overflows.
// A leaf's rows and squared norms gathered in leaf order. A task keeps one and reuses it for
// every leaf it handles, so the build allocates nothing per leaf once it has seen its largest.
struct LeafRows {
  std::vector<float> rows;   // t x d
  std::vector<float> norms;  // t
  std::size_t t = 0;
  std::size_t d = 0;
};

// Gathers the rows of `ids` (each below data.n, else Failure).
void gather_leaf(const Dataset& data, std::span<const PointId> ids, LeafRows& out);

// Rows [r0, r1) of the leaf's distance matrix in two steps, for callers that consume each row
// right after it is finished (while it is still in cache): leaf_products_rows writes the block's
// dot products into `out` ((r1 - r0) x t, row-major, one product for the whole block), then
// finish_leaf_row turns row i of the leaf (held at `row`) into its distances, with the same
// clamped formula and exact-zero diagonal as leaf_sq_dists. Blocks of rows let a large leaf be
// processed with bounded memory.
void leaf_products_rows(const LeafRows& leaf, std::size_t r0, std::size_t r1, float* out);
void finish_leaf_row(const LeafRows& leaf, std::size_t i, float* row);

// The upper triangle (j >= i) of rows * rows^T for `count` rows of d floats, into out
// (count x count, row-major); the lower triangle is left as it was. One symmetric product.
void gram_upper(const float* rows, std::size_t count, std::size_t d, float* out);

// out (rows_a x rows_b, row-major) = a * b^T for row-major a (rows_a x d) and b (rows_b x d).
// One product on the calling thread.
void cross_products(const float* a, std::size_t rows_a, const float* b, std::size_t rows_b,
                    std::size_t d, float* out);

// How far (n_a + n_b) - 2 a.b, formed from float32 squared norms and a float32 product over d
// terms, can lie from the fixed-order sq_l2 of the same pair, as a multiple of (n_a + n_b): the
// forward error bounds of both computations, doubled for safety. Lets a product screen pairs
// whose exact distance cannot change a decision.
float product_margin(std::size_t d);

LeafDists leaf_sq_dists(const Dataset& data, std::span<const PointId> ids);

}  // namespace orlim
