// Time of the refinement self-kNN on a float32 .npy matrix; writes the result ids to an .npy file
// for the recall check (bench/micro/refine_vs_peers.py runs it beside the peers).
//   cmake --build build/release --target orlim_core
//   g++ -O3 -ffp-contract=off -std=c++20 -Icore bench/micro/refine.cpp \
//       build/release/core/liborlim_core.a -ltbb -o /tmp/refine_bench
//   /tmp/refine_bench x.npy out.npy euclidean 10 2 c_max=1024 list=12
// Settings are name=value: the partitions' c_max, fanout, runs and seed (else those of
// refine_build_params()) and the refinement's list, sample, rounds and min_change (else the
// RefineParams defaults). Prints the wall and the CPU seconds of the call.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "orlim/base/parallel.hpp"
#include "orlim/search/refine.hpp"

namespace {

// A C-order little-endian float32 matrix of two dimensions, as numpy.save writes it.
std::vector<float> load_npy(const std::string& path, std::size_t& rows, std::size_t& cols) {
  std::ifstream in(path, std::ios::binary);
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, "\x93NUMPY", 6) != 0) {
    throw std::runtime_error("not an .npy file: " + path);
  }
  std::size_t header_len = 0;
  if (magic[6] == 1) {
    unsigned char b[2];
    in.read(reinterpret_cast<char*>(b), 2);
    header_len = b[0] | (b[1] << 8);
  } else {
    unsigned char b[4];
    in.read(reinterpret_cast<char*>(b), 4);
    header_len = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::size_t>(b[3]) << 24);
  }
  std::string header(header_len, '\0');
  in.read(header.data(), static_cast<std::streamsize>(header_len));
  if (header.find("'<f4'") == std::string::npos ||
      header.find("'fortran_order': False") == std::string::npos) {
    throw std::runtime_error("want a C-order float32 matrix: " + path);
  }
  const std::size_t open = header.find("'shape': (");
  if (std::sscanf(header.c_str() + open, "'shape': (%zu, %zu)", &rows, &cols) != 2) {
    throw std::runtime_error("want a 2-D matrix: " + path);
  }
  std::vector<float> values(rows * cols);
  in.read(reinterpret_cast<char*>(values.data()),
          static_cast<std::streamsize>(values.size() * sizeof(float)));
  if (!in) throw std::runtime_error("short file: " + path);
  return values;
}

void save_ids(const std::string& path, const std::vector<orlim::PointId>& ids, std::size_t rows,
              std::size_t cols) {
  std::string header = "{'descr': '<u4', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(cols) + "), }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::ofstream out(path, std::ios::binary);
  out.write("\x93NUMPY\x01\x00", 8);
  const unsigned char len[2] = {static_cast<unsigned char>(header.size() & 0xFF),
                                static_cast<unsigned char>(header.size() >> 8)};
  out.write(reinterpret_cast<const char*>(len), 2);
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(ids.data()),
            static_cast<std::streamsize>(ids.size() * sizeof(orlim::PointId)));
}

// User plus system CPU seconds of the whole process so far: beside the wall time, a figure that
// other jobs sharing the cores inflate less.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s x.npy out.npy euclidean|cosine k threads [name=value...]\n",
                 argv[0]);
    return 2;
  }
  std::size_t n = 0;
  std::size_t d = 0;
  const std::vector<float> values = load_npy(argv[1], n, d);
  const orlim::Metric metric =
      std::strcmp(argv[3], "cosine") == 0 ? orlim::Metric::Cosine : orlim::Metric::Euclidean;
  const std::size_t k = std::strtoul(argv[4], nullptr, 10);
  const std::size_t threads = std::strtoul(argv[5], nullptr, 10);
  orlim::BuildParams build = orlim::refine_build_params();
  orlim::RefineParams refine;
  for (int a = 6; a < argc; ++a) {
    const std::string arg = argv[a];
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const char* value = arg.c_str() + eq + 1;
    const std::size_t u = std::strtoul(value, nullptr, 10);
    if (name == "c_max")
      build.c_max = u;
    else if (name == "fanout")
      build.fanout = u;
    else if (name == "runs")
      build.runs = u;
    else if (name == "seed")
      build.seed = u;
    else if (name == "list")
      refine.list_size = u;
    else if (name == "sample")
      refine.sample = u;
    else if (name == "rounds")
      refine.max_rounds = u;
    else if (name == "min_change")
      refine.min_change = std::strtof(value, nullptr);
    else {
      std::fprintf(stderr, "unknown setting %s\n", name.c_str());
      return 2;
    }
  }
  auto pool = orlim::Pool::dedicated(threads);
  double seconds = 0;
  double cpu = 0;
  orlim::SelfKnn result;
  pool->run([&] {
    // The Dataset is part of the job: for cosine data it normalizes a copy.
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    const orlim::Dataset data(values, n, d, metric);
    result = orlim::knn_self_refine(data, build, refine, k);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = cpu_seconds() - cpu_start;
  });
  save_ids(argv[2], result.indices, n, result.stride);
  std::printf("%.4f %.4f\n", seconds, cpu);
}
