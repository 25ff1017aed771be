// Whether the squared distances between the points of a call can be represented in float32.
//
// Every internal distance is a float32 squared Euclidean distance, and the products behind the
// leaf kernel and the screens add two squared norms of centred rows. Points whose coordinates lie
// too far apart overflow those sums to infinity, and every comparison built on them goes wrong
// without a sign. The bound below is taken from the per-column extent of the points, which does
// not change when the data move: far from the origin is fine, far apart is not.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace orlim {

// The least and greatest value of each column over the rows seen so far (empty: low > high).
struct ColumnRange {
  std::vector<float> low;
  std::vector<float> high;
};

// A range of d columns holding no row yet.
ColumnRange empty_column_range(std::size_t d);

// The range a cosine data set fills at most: its stored rows have unit length, so every
// coordinate lies in [-1, 1] (up to rounding, which the bound's headroom covers).
ColumnRange unit_column_range(std::size_t d);

// Widens `range` to hold every row of `values` (row-major, range.low.size() values per row).
// NaN values are skipped; callers reject them first.
void widen_column_range(ColumnRange& range, std::span<const float> values);

// True when the squared distance of any two points inside the range, summed over the columns'
// extents in double, is at most FLT_MAX / 8: a float32 distance, or the sum of two centred
// squared norms in the products, then stays finite with room for rounding. An empty range fits.
bool sq_distances_fit(const ColumnRange& range);

}  // namespace orlim
