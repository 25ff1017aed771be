// The k-NN result record every producer fills (brute force, graph search, HNSW), and its row
// widths.
#pragma once

#include <cstddef>
#include <vector>

#include "orlim/base/types.hpp"

namespace orlim {

// `stride` slots per row, row-major, nearest first; slots no producer writes hold id 0, dist 0.
struct SelfKnn {
  std::vector<PointId> indices;
  std::vector<float> distances;  // reported distances (reported_distance())
  std::size_t stride = 1;
};

// min(max(n, 1), k + 1) without overflow for any k.
std::size_t self_knn_stride(std::size_t n, std::size_t k);
// min(max(n, 1), k).
std::size_t query_knn_stride(std::size_t n, std::size_t k);

// Zero-filled record of rows x stride slots (Failure when the size overflows).
SelfKnn make_knn_result(std::size_t rows, std::size_t stride);

}  // namespace orlim
