// Python arguments of the Index type into native values, with the package's error conventions:
// TypeError for a value of the wrong type, ValueError for one out of range.
#pragma once

#include "numpy_api.hpp"

#include <cstdint>
#include <span>
#include <string>

#include "orlim/build/build_params.hpp"
#include "orlim/data/knn_result.hpp"
#include "orlim/data/metric.hpp"
#include "py_ref.hpp"

namespace orlim_index {

// `obj` as a C-contiguous, aligned 2-D float32 array (a copy only when it is not one already):
// any array-like of booleans, integers or floats. TypeError for other element types (and
// sparse matrices), ValueError for another number of dimensions. Null with the error set.
orlim_py::PyRef float32_matrix(PyObject* obj, const char* name);

// An integer (bool excluded) that is at least `min`; TypeError or ValueError naming `name`.
bool to_count(PyObject* obj, const char* name, long long min, std::uint64_t& out);

// ValueError "{name} contains NaN or infinity" unless every value is finite.
bool check_finite(std::span<const float> values, const char* name);

// Sets one build parameter from a Python value by its table entry (TypeError for a wrong type;
// the ranges are checked afterwards, for all parameters at once).
bool set_build_param(orlim::BuildParams& params, const orlim::BuildParamSpec& decl,
                     PyObject* value);

// ValueError with `message`; returns nullptr.
PyObject* value_error(const std::string& message);

// A metric name ("euclidean", "l2", "cosine", ... as parse_metric reads them) into `out`; a null
// `obj` leaves `out` as it is. TypeError for a non-string, ValueError for an unknown name.
bool to_metric(PyObject* obj, orlim::Metric& out);

// n_jobs in scikit-learn's convention, resolved by the package as everywhere else in orlim
// (through joblib): None is 1 unless a joblib backend says otherwise, -1 every CPU the process
// may use, -2 all but one, and so on; 0 is refused. Always a positive count of threads.
bool to_threads(PyObject* obj, std::size_t& threads);

// `x` as the points of a build (`matrix` keeps the float32 array alive, `values` views it): at
// least one row and one column, fewer than 2^32 rows, finite, and for the Euclidean metric
// within the range where float32 squared distances cannot overflow. False with the error set.
bool point_matrix(PyObject* x, orlim::Metric metric, orlim_py::PyRef& matrix,
                  std::span<const float>& values, std::size_t& n, std::size_t& d);

// (ids int64, distances float32), both (rows, k), from a table of rows x k distinct neighbours.
PyObject* to_tables(const orlim::SelfKnn& knn, std::size_t rows, std::size_t k);

}  // namespace orlim_index
