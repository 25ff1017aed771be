// Exact brute-force self-kNN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orlim/data/dataset.hpp"
#include "orlim/data/knn_result.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/base/types.hpp"

namespace orlim {

// Self-kNN of data sets up to this many rows (and up to c_max) is answered exactly by brute force.
inline constexpr std::size_t kBruteForceRows = 2048;

// Exact self-kNN: row i holds the `stride` nearest points by (squared distance, id), with i
// swapped to the front when present. Runs in parallel over rows on the current pool.
SelfKnn knn_self_bruteforce(const Dataset& data, std::size_t k);

}  // namespace orlim
