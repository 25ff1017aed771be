// Self-kNN in the three query modes and held-out query throughput over a beam_l sweep, with
// recall@k against brute force on a sample of rows.
//   cmake --build build --target orlim_core
//   g++ -O3 -ffp-contract=off -std=c++20 -Icore bench/micro/search.cpp build/core/liborlim_core.a \
//       -ltbb -o /tmp/search_bench && /tmp/search_bench 100000 128 2
// Optional fourth and fifth arguments: cluster count (100) and centre spread (4.0); a smaller
// spread makes clusters overlap and the search harder.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <sys/resource.h>

#include "orlim/search/batch_knn.hpp"
#include "orlim/build/driver.hpp"
#include "orlim/kernels/distance.hpp"
#include "orlim/base/parallel.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Process CPU time: the wall clock alone misleads on a shared machine.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec);
}

constexpr std::size_t kK = 10;
constexpr std::size_t kSample = 1000;

// The kK nearest base points of `q` other than `skip`.
std::vector<orlim::PointId> exact(const orlim::Dataset& data, const float* q, std::size_t skip) {
  std::vector<orlim::Neighbor> all;
  all.reserve(data.n);
  for (std::size_t j = 0; j < data.n; ++j) {
    if (j != skip)
      all.push_back({static_cast<orlim::PointId>(j), orlim::sq_l2(q, data.row(j), data.d)});
  }
  std::partial_sort(all.begin(), all.begin() + kK, all.end(), orlim::closer);
  std::vector<orlim::PointId> ids;
  for (std::size_t j = 0; j < kK; ++j) ids.push_back(all[j].id);
  return ids;
}

double recall(const orlim::SelfKnn& knn, std::size_t first_slot,
              const std::vector<std::size_t>& rows,
              const std::vector<std::vector<orlim::PointId>>& truth) {
  std::size_t hits = 0;
  for (std::size_t s = 0; s < rows.size(); ++s) {
    const orlim::PointId* got = knn.indices.data() + rows[s] * knn.stride + first_slot;
    for (const orlim::PointId w : truth[s]) hits += std::count(got, got + kK, w) > 0;
  }
  return static_cast<double>(hits) / static_cast<double>(rows.size() * kK);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const std::size_t d = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 128;
  const std::size_t threads = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2;
  const std::size_t clusters = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 100;
  const float spread = argc > 5 ? std::strtof(argv[5], nullptr) : 4.0f;
  const std::size_t n_q = 10000;

  std::mt19937 gen(42);
  std::normal_distribution<float> unit;
  std::vector<float> centres(clusters * d);
  for (float& c : centres) c = spread * unit(gen);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> values((n + n_q) * d);
  for (std::size_t i = 0; i < n + n_q; ++i) {
    const std::size_t c = pick(gen);
    for (std::size_t j = 0; j < d; ++j) values[i * d + j] = centres[c * d + j] + unit(gen);
  }
  const std::span<const float> base(values.data(), n * d);
  const std::span<const float> queries(values.data() + n * d, n_q * d);
  const orlim::Dataset data(base, n, d, orlim::Metric::Euclidean);
  auto pool = orlim::Pool::dedicated(threads);

  std::vector<std::size_t> self_rows, query_rows;
  for (std::size_t s = 0; s < kSample; ++s) {
    self_rows.push_back(s * (n / kSample));
    query_rows.push_back(s * (n_q / kSample));
  }
  std::vector<std::vector<orlim::PointId>> self_truth(kSample), query_truth(kSample);
  pool->run([&] {
    orlim::parallel_for_blocks(kSample, 16, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t s = lo; s < hi; ++s) {
        self_truth[s] = exact(data, data.row(self_rows[s]), self_rows[s]);
        query_truth[s] = exact(data, queries.data() + query_rows[s] * d, n);
      }
    });
  });

  orlim::BuiltIndex index;
  auto start = Clock::now();
  pool->run([&] { index = orlim::build_index_with_cands(data, orlim::BuildParams{}, 32); });
  std::printf("n=%zu d=%zu threads=%zu clusters=%zu spread=%.1f build=%.3fs\n", n, d, threads,
              clusters, spread, seconds_since(start));

  const char* modes[] = {"beam", "warm", "reservoir"};
  for (int mode = 0; mode < 3; ++mode) {
    orlim::SelfKnn knn;
    start = Clock::now();
    const double cpu_start = cpu_seconds();
    pool->run([&] {
      if (mode == 0) knn = orlim::knn_self_graph(data, index.graph, nullptr, kK, 64);
      if (mode == 1) knn = orlim::knn_self_graph(data, index.graph, &index.retained, kK, 64);
      if (mode == 2) knn = orlim::knn_self_reservoir(data, index.graph, index.retained, kK);
    });
    const double s = seconds_since(start);
    std::printf("self-kNN %-9s  %.3fs (cpu %.3fs)  recall@%zu %.4f\n", modes[mode], s,
                cpu_seconds() - cpu_start, kK, recall(knn, 1, self_rows, self_truth));
  }
  for (std::size_t beam_l : {10u, 12u, 16u, 24u, 32u, 48u, 64u, 96u, 128u, 256u}) {
    orlim::SelfKnn knn;
    start = Clock::now();
    const double cpu_start = cpu_seconds();
    pool->run([&] { knn = orlim::knn_query(data, index.graph, queries, n_q, kK, beam_l); });
    const double s = seconds_since(start);
    const double cpu = cpu_seconds() - cpu_start;
    std::printf("query beam_l %3zu  %7.0f QPS (%6.0f per CPU second)  recall@%zu %.4f\n", beam_l,
                static_cast<double>(n_q) / s, static_cast<double>(n_q) / cpu, kK,
                recall(knn, 0, query_rows, query_truth));
  }
}
