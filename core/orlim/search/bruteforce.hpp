// The k-NN result record shared by every producer, and exact brute-force self-kNN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/data/metric.hpp"
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

// Exact self-kNN: row i holds the `stride` nearest points by (squared distance, id), with i
// swapped to the front when present. Runs in parallel over rows on the current pool.
SelfKnn knn_self_bruteforce(const Dataset& data, std::size_t k);

}  // namespace orlim
