// The frame every computing call shares: the matrix values the job reads, the worker pool it runs
// on, and the release of the interpreter lock around it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "orlim/build/build_params.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/base/parallel.hpp"
#include "py_ref.hpp"

namespace orlim_py {

// The parsed metric, or nullopt with "unsupported metric: {}" raised (the name as passed).
inline std::optional<orlim::Metric> checked_metric(const std::string& name) {
  auto metric = orlim::parse_metric(name);
  if (!metric) raise_value_error("unsupported metric: " + name);
  return metric;
}

// The build parameters of the graph-index callables, from their converted arguments.
inline orlim::BuildParams build_params_from(const Arguments& a, orlim::Metric metric) {
  orlim::BuildParams p;
  orlim::for_each_build_param(p, [&](const orlim::BuildParamSpec& spec, auto& field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(field)>, float>) {
      field = a.f32(spec.name);
    } else {
      field = a.u64(spec.name);
    }
  });
  p.metric = metric;
  return p;
}

// "query dim {} != base dim {}" (ValueError) unless `queries` has `dims` columns.
inline bool check_query_width(const ReadonlyMatrix& queries, std::size_t dims) {
  if (queries.cols == dims) return true;
  raise_value_error("query dim " + std::to_string(queries.cols) + " != base dim " +
                    std::to_string(dims));
  return false;
}

// Row-major values of a matrix argument: the caller's buffer when it can be read in place and
// `allow_in_place`, otherwise an owned copy. Made with the lock held.
struct MatrixValues {
  std::vector<float> copy;
  std::span<const float> values;
};

inline MatrixValues matrix_values(const ReadonlyMatrix& m, bool allow_in_place) {
  MatrixValues out;
  if (allow_in_place && m.readable_in_place()) {
    out.values = m.in_place();
  } else {
    out.copy = copy_row_major(m);
    out.values = out.copy;
  }
  return out;
}

// n_jobs > 0: a dedicated pool of that many threads (the default pool when it cannot be made).
inline std::optional<orlim::Pool> dedicated_pool(std::uint64_t n_jobs) {
  if (n_jobs == 0) return std::nullopt;
  return orlim::Pool::dedicated(n_jobs);
}

// Runs `job` with the lock released, inside `dedicated` or the default pool. Everything the job
// makes must be owned by it, so that it is dropped before the lock returns. False with a Python
// error set when the job failed.
template <class Job>
bool run_unlocked(std::optional<orlim::Pool>& dedicated, Job&& job) {
  try {
    GilRelease unlocked;
    orlim::Pool& pool = dedicated ? *dedicated : orlim::Pool::shared();
    pool.run(job);
  } catch (...) {
    set_python_error();
    return false;
  }
  return true;
}

}  // namespace orlim_py
