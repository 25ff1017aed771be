// Throughput of the distance kernels at one dimension: pairs per second of sq_l2 (dispatched),
// its SSE2 and scalar-order paths, and a plain one-accumulator loop.
//   g++ -O3 -ffp-contract=off -std=c++20 -Icore bench/micro/sq_l2.cpp core/orlim/distance.cpp
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "orlim/kernels/distance.hpp"

namespace {

float plain_loop(const float* a, const float* b, std::size_t d) {
  float s = 0.0f;
  for (std::size_t j = 0; j < d; ++j) s += (a[j] - b[j]) * (a[j] - b[j]);
  return s;
}

template <class F>
double pairs_per_second(F f, const std::vector<float>& data, std::size_t rows, std::size_t d) {
  volatile float sink = 0.0f;
  std::size_t pairs = 0;
  const auto start = std::chrono::steady_clock::now();
  double elapsed = 0.0;
  do {
    for (std::size_t i = 0; i < rows; ++i) {
      for (std::size_t j = 0; j < 64; ++j) {
        sink = sink + f(data.data() + i * d, data.data() + ((i + j + 1) % rows) * d, d);
      }
    }
    pairs += rows * 64;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } while (elapsed < 0.5);
  return static_cast<double>(pairs) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t d = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
  const std::size_t rows = 4096;
  std::vector<float> data(rows * d);
  std::mt19937 gen(1);
  std::normal_distribution<float> dist;
  for (float& x : data) x = dist(gen);
  const double fast = pairs_per_second(orlim::sq_l2, data, rows, d);
  const double sse2 = pairs_per_second(orlim::sq_l2_sse2, data, rows, d);
  const double order = pairs_per_second(orlim::sq_l2_scalar, data, rows, d);
  const double plain = pairs_per_second(plain_loop, data, rows, d);
  const auto four = [](const float* a, const float* b, std::size_t dims) {
    // Four neighbouring rows per call, counted as four pairs in the per-pair figure below.
    const float* rows4[4] = {b, b, b, b};
    float out[4];
    orlim::sq_l2_x4(a, rows4, dims, out);
    return out[0] + out[3];
  };
  const double x4 = 4.0 * pairs_per_second(four, data, rows, d);
  std::printf("d=%zu avx2=%s\n", d, orlim::avx2_supported() ? "yes" : "no");
  std::printf("sq_l2 (dispatched) %8.1f M pairs/s\n", fast / 1e6);
  std::printf("sq_l2 sse2         %8.1f M pairs/s\n", sse2 / 1e6);
  std::printf("sq_l2 scalar order %8.1f M pairs/s\n", order / 1e6);
  std::printf("sq_l2_x4           %8.1f M pairs/s\n", x4 / 1e6);
  std::printf("plain loop         %8.1f M pairs/s  (dispatched is %.1fx)\n", plain / 1e6,
              fast / plain);
}
