#include "orlim/data/knn_result.hpp"

#include <algorithm>

#include "orlim/base/failure.hpp"

namespace orlim {

std::size_t self_knn_stride(std::size_t n, std::size_t k) {
  const std::size_t rows = std::max<std::size_t>(n, 1);
  return k >= rows ? rows : k + 1;  // k + 1 would wrap for k = 2^64 - 1
}

std::size_t query_knn_stride(std::size_t n, std::size_t k) {
  return std::min(std::max<std::size_t>(n, 1), k);
}

SelfKnn make_knn_result(std::size_t rows, std::size_t stride) {
  const std::size_t slots = checked_mul(rows, stride, "k-NN result");
  SelfKnn out;
  out.indices.assign(slots, 0);
  out.distances.assign(slots, 0.0f);
  out.stride = stride;
  return out;
}

}  // namespace orlim
