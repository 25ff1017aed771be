// All-pairs squared distances inside one leaf of the partition, from one single-precision matrix
// product of the leaf's rows centred on their mean, and the products behind the screens of the
// prune and of the query seeding.
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

// A leaf's rows gathered in leaf order and moved so that their mean lies at the origin, with the
// squared norms of the moved rows. Distances do not change under the move, but the expansion
// (n_i + n_j) - 2 g_ij below cancels in float32 down to a few roundings of the norms' size: with
// the norms of the rows as stored, points far from the origin (a tight cluster at 1e3, say) lose
// every digit of their distances; centred, the norms are of the leaf's own spread, wherever the
// data sit. A task keeps one and reuses it for every leaf it handles, so the build allocates
// nothing per leaf once it has seen its largest.
struct LeafRows {
  std::vector<float> rows;   // t x d, centred
  std::vector<float> norms;  // t, squared norms of the centred rows
  std::vector<float> mean;   // d, the vector subtracted from every row
  std::vector<double> sums;  // d, working column sums of the centring
  std::size_t t = 0;
  std::size_t d = 0;
};

// Writes from - origin (d floats each) to `to`, which may be `from` itself, and returns the
// squared norm of the result (float32, summed in no fixed order). Any common origin leaves the
// distances between moved rows as they were; one near the rows makes the products' norms small.
float move_row(const float* from, const float* origin, std::size_t d, float* to);

// Moves `count` rows of d floats (row-major, in place) by the rows' column means, as move_row
// does, and writes each moved row's squared norm to `norms`. The means are summed in double
// (exact enough for any leaf, and free of overflow for any finite float32 input) and rounded to
// float32 once, so every row moves by the same float32 vector; a column whose mean is not finite
// (a NaN or an infinity in it) is left in place, so that one bad value spoils only the pairs it
// belongs to. `mean` (d floats) receives the vector subtracted; `sums` is d doubles of working
// space.
void centre_rows(float* rows, std::size_t count, std::size_t d, double* sums, float* mean,
                 float* norms);

// Gathers the rows of `ids` (each below data.n, else Failure) and centres them.
void gather_leaf(const Dataset& data, std::span<const PointId> ids, LeafRows& out);

// Rows [r0, r1) of the leaf's distance matrix in two steps, for callers that consume each row
// right after it is finished (while it is still in cache): leaf_products_rows writes the block's
// dot products of centred rows into `out` ((r1 - r0) x t, row-major, one product for the whole
// block), then finish_leaf_row turns row i of the leaf (held at `row`) into its distances:
// entry j is (norms[i] + norms[j]) - 2 g_ij with the centred norms, clamped at 0 (NaN becomes 0
// too), and the diagonal is exactly 0. Off the diagonal the product's rounding shows, on the
// scale of the leaf's spread: identical rows (or an id repeated in the leaf) come out as 0 or a
// tiny positive value. Not forced to be symmetric. Blocks of rows let a large leaf be processed
// with bounded memory.
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
// whose exact distance cannot change a decision. It holds as well for rows moved by move_row
// (n_a, n_b then the moved rows' norms): each move rounds once per value, which shifts the
// distance by at most about 4 * 2^-24 * (n_a + n_b), well inside the constant term.
float product_margin(std::size_t d);

// The whole t x t matrix of a leaf at once, as above.
LeafDists leaf_sq_dists(const Dataset& data, std::span<const PointId> ids);

}  // namespace orlim
