#include "orlim/index/one_shot.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "orlim/base/profile.hpp"
#include "orlim/index/graph_index.hpp"
#include "orlim/search/bruteforce.hpp"

namespace orlim {

namespace {

// ORLIM_QUERY as read, or "beam" when it is unset or not valid UTF-8.
std::string query_mode() {
  const char* value = std::getenv("ORLIM_QUERY");
  if (value == nullptr || !valid_utf8(value)) return "beam";
  return value;
}

void print_build_query_line(double build, double query, const std::string& what) {
  std::string line(64 + what.size(), '\0');
  const int written =
      std::snprintf(line.data(), line.size(), "[orlim] BUILD=%.3fs QUERY=%.3fs [", build, query);
  line.resize(static_cast<std::size_t>(written));
  line += what;
  line += ']';
  print_line(line);
}

}  // namespace

std::size_t retained_for_mode(const std::string& mode, std::size_t k, std::size_t l_max) {
  if (mode == "beam") return 0;
  const std::size_t wanted = k == std::numeric_limits<std::size_t>::max() ? k : k + 1;
  return std::min(l_max, std::max<std::size_t>(wanted, 32));
}

SelfKnn self_knn_job(Dataset data, const BuildParams& params, std::size_t k, std::size_t beam_l) {
  if (data.n <= std::min(params.c_max, kBruteForceRows)) return knn_self_bruteforce(data, k);

  const bool profiling = profiling_enabled();
  const std::string mode = query_mode();
  // A value other than the three names searches like "beam" but still retains candidates.
  const std::size_t c = retained_for_mode(mode, k, params.l_max);

  Stopwatch timer;
  const GraphIndex index = GraphIndex::build(std::move(data), params, c);
  const double build = timer.seconds();
  timer.restart();
  SelfKnn out = index.self_knn(SearchParams{k, beam_l, parse_query_mode(mode)});
  if (profiling) print_build_query_line(build, timer.seconds(), mode);
  return out;
}

SelfKnn query_knn_job(Dataset data, const BuildParams& params, std::span<const float> queries,
                      std::size_t n_q, std::size_t k, std::size_t beam_l) {
  const bool profiling = profiling_enabled();
  Stopwatch timer;
  const GraphIndex index = GraphIndex::build(std::move(data), params);
  const double build = timer.seconds();
  timer.restart();
  SelfKnn out = index.query(queries, n_q, SearchParams{k, beam_l});
  if (profiling) {
    print_build_query_line(build, timer.seconds(),
                           std::to_string(n_q) + " queries, runs=" + std::to_string(params.runs) +
                               ", beam_l=" + std::to_string(beam_l));
  }
  return out;
}

}  // namespace orlim
