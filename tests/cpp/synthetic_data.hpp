// Seeded synthetic point sets shared by the test suites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace orlim_test {

// n points (row-major, d values each) in Gaussian clusters of unit spread around `clusters`
// random centres drawn with spread `spread`: the shape real embeddings have. A small `spread`
// makes the clusters overlap, and searches harder.
inline std::vector<float> clustered(std::size_t n, std::size_t d, std::size_t clusters,
                                    float spread, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> unit;
  std::vector<float> centres(clusters * d);
  for (float& c : centres) c = spread * unit(gen);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> v(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = pick(gen);
    for (std::size_t j = 0; j < d; ++j) v[i * d + j] = centres[c * d + j] + unit(gen);
  }
  return v;
}

}  // namespace orlim_test
