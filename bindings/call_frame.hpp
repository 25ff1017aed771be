// The frame every computing call shares: the matrix values the job reads, the worker pool it runs
// on, and the release of the interpreter lock around it.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "orlim/build/build_params.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/base/parallel.hpp"
#include "orlim/search/batch_knn.hpp"
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
  orlim::for_each_build_param(p, [&](const orlim::BuildParamSpec& decl, auto& field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(field)>, float>) {
      field = a.f32(decl.name);
    } else {
      field = a.u64(decl.name);
    }
  });
  p.metric = metric;
  return p;
}

// Row-major copy of `m` into `out`; false with MemoryError set when it cannot be allocated.
inline bool copy_or_raise(const ReadonlyMatrix& m, std::vector<float>& out) {
  try {
    out = copy_row_major(m);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  } catch (const std::length_error&) {  // more values than a vector can address
    PyErr_NoMemory();
    return false;
  }
  return true;
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

// The values of `m`, or nullopt with MemoryError set when the copy cannot be allocated (a
// broadcast view can stand for far more values than memory holds).
inline std::optional<MatrixValues> matrix_values(const ReadonlyMatrix& m, bool allow_in_place) {
  MatrixValues out;
  if (allow_in_place && m.readable_in_place()) {
    out.values = m.in_place();
    return out;
  }
  if (!copy_or_raise(m, out.copy)) return std::nullopt;
  out.values = out.copy;
  return out;
}

// "k-NN queries need k >= 1" as the internal-failure exception, raised before any work rather
// than after the whole build. False with the error set.
inline bool check_query_k(std::size_t k) {
  try {
    orlim::check_query_k(k);
  } catch (...) {
    set_python_error();
    return false;
  }
  return true;
}

// n_jobs > 0: a dedicated pool of that many threads (the default pool when it cannot be made).
inline std::optional<orlim::Pool> dedicated_pool(std::uint64_t n_jobs) {
  if (n_jobs == 0) return std::nullopt;
  return orlim::Pool::dedicated(n_jobs);
}

// Runs `job` with the lock released, inside `dedicated` or the default pool, stoppable by Ctrl-C
// and by interpreter exit. Everything the job makes must be owned by it, so that it is dropped
// before the lock returns. False with a Python error set when the job failed or was stopped.
template <class Job>
bool run_unlocked(std::optional<orlim::Pool>& dedicated, Job&& job) {
  orlim::Pool* pool = nullptr;
  try {
    pool = dedicated ? &*dedicated : &orlim::Pool::shared();
  } catch (...) {
    set_python_error();
    return false;
  }
  return run_interruptible(*pool, job);
}

}  // namespace orlim_py
