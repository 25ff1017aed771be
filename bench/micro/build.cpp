// Build time of the graph index on clustered data, with the per-phase timing lines.
//   cmake --build build --target orlim_core
//   g++ -O3 -ffp-contract=off -std=c++20 -Icore bench/micro/build.cpp build/core/liborlim_core.a \
//       -ltbb -o /tmp/build_bench && ORLIM_PROFILE= /tmp/build_bench 100000 128 2
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "orlim/build/driver.hpp"
#include "orlim/base/parallel.hpp"

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const std::size_t d = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 128;
  const std::size_t threads = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2;
  std::mt19937 gen(42);
  std::normal_distribution<float> unit;
  const std::size_t clusters = 100;
  std::vector<float> centres(clusters * d);
  for (float& c : centres) c = 4.0f * unit(gen);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> values(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = pick(gen);
    for (std::size_t j = 0; j < d; ++j) values[i * d + j] = centres[c * d + j] + unit(gen);
  }
  const orlim::Dataset data(values, n, d, orlim::Metric::Euclidean);
  auto pool = orlim::Pool::dedicated(threads);
  const auto start = std::chrono::steady_clock::now();
  std::size_t edges = 0;
  pool->run([&] {
    const orlim::BuiltIndex index = orlim::build_index_with_cands(data, orlim::BuildParams{}, 0);
    edges = index.graph.neighbors.size();
  });
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("n=%zu d=%zu threads=%zu build=%.3fs edges/point=%.1f\n", n, d, threads, s,
              static_cast<double>(edges) / static_cast<double>(n));
}
