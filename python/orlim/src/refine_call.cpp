#include "refine_call.hpp"

#include "numpy_api.hpp"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "call_frame.hpp"
#include "convert.hpp"
#include "orlim/search/refine_table.hpp"
#include "py_ref.hpp"

namespace orlim_index {

namespace {

using orlim_py::PyRef;

// Longest working list and most rounds a caller may ask for: past them a call would only spend
// memory or time for nothing.
constexpr std::uint64_t kMaxListSize = 65536;
constexpr std::uint64_t kMaxRounds = 1000;

bool count_in_range(PyObject* obj, const char* name, long long lo, std::uint64_t hi,
                    std::uint64_t& out) {
  if (obj == nullptr) return true;
  if (!to_count(obj, name, lo, out)) return false;
  if (out <= hi) return true;
  value_error(std::string(name) + " must be at most " + std::to_string(hi) + ", got " +
              std::to_string(out));
  return false;
}

}  // namespace

extern const char kRefineSelfKnnDoc[] =
    "refine_self_knn(x, k, *, metric='euclidean', n_jobs=None, c_max=512, fanout=3, runs=1, "
    "seed=0, list_size=0, max_rounds=12)\n"
    "--\n\n"
    "The k nearest other points of every row of x, without an index: leaves of a random\n"
    "partition start each point's list, rounds of neighbour-of-neighbour joins refine it.\n"
    "Returns (ids int64, distances float32), both (n, k); exact when n <= 2048.";

PyObject* refine_self_knn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kNames[] = {"x",    "k",    "metric",    "n_jobs",     "c_max", "fanout",
                                 "runs", "seed", "list_size", "max_rounds", nullptr};
  PyObject *x = nullptr, *k_obj = nullptr, *metric_obj = nullptr, *jobs_obj = nullptr;
  PyObject *c_max_obj = nullptr, *fanout_obj = nullptr, *runs_obj = nullptr;
  PyObject *seed_obj = nullptr, *list_obj = nullptr, *rounds_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOO:refine_self_knn",
                                   const_cast<char**>(kNames), &x, &k_obj, &metric_obj, &jobs_obj,
                                   &c_max_obj, &fanout_obj, &runs_obj, &seed_obj, &list_obj,
                                   &rounds_obj)) {
    return nullptr;
  }
  orlim::Metric metric = orlim::Metric::Euclidean;
  if (!to_metric(metric_obj, metric)) return nullptr;

  orlim::BuildParams build = orlim::refine_build_params();
  build.metric = metric;
  const PyObject* given[] = {c_max_obj, fanout_obj, runs_obj, seed_obj};
  const char* names[] = {"c_max", "fanout", "runs", "seed"};
  for (std::size_t i = 0; i < 4; ++i) {
    if (given[i] == nullptr) continue;
    for (const orlim::BuildParamSpec& decl : orlim::kBuildParamSpecs) {
      if (std::strcmp(decl.name, names[i]) != 0) continue;
      if (!set_build_param(build, decl, const_cast<PyObject*>(given[i]))) return nullptr;
    }
  }
  const std::string invalid = orlim::build_params_error(build);
  if (!invalid.empty()) return value_error(invalid);
  orlim::RefineParams refine;
  std::uint64_t list_size = 0, rounds = refine.max_rounds, k = 0;
  if (!count_in_range(list_obj, "list_size", 0, kMaxListSize, list_size)) return nullptr;
  if (!count_in_range(rounds_obj, "max_rounds", 0, kMaxRounds, rounds)) return nullptr;
  refine.list_size = list_size;
  refine.max_rounds = rounds;
  if (!to_count(k_obj, "k", 1, k)) return nullptr;
  std::size_t threads = 0;
  if (!to_threads(jobs_obj, threads)) return nullptr;

  PyRef matrix;
  std::span<const float> values;
  std::size_t n = 0, d = 0;
  if (!point_matrix(x, metric, matrix, values, n, d)) return nullptr;
  if (k >= n) {
    return value_error("Expected k < n, but k = " + std::to_string(k) + " and x has " +
                       std::to_string(n) + " rows");
  }

  orlim::SelfKnn knn;
  // The points are read in place, as NumPy's own calls that release the lock read them: a copy
  // would double the memory of the call, and nothing is kept past it.
  const bool ok = run_job(threads, [&] {
    const orlim::Dataset data(values, n, d, metric);
    knn = orlim::knn_self_refine_distinct(data, build, refine, k);
  });
  if (!ok) return nullptr;

  return to_tables(knn, n, k);
}

}  // namespace orlim_index
