#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "orlim/base/parallel.hpp"
#include "orlim/data/value_range.hpp"

namespace orlim_index {

using orlim_py::PyRef;

PyObject* value_error(const std::string& message) {
  PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyRef float32_matrix(PyObject* obj, const char* name) {
  if (PyObject_HasAttrString(obj, "toarray") || PyObject_HasAttrString(obj, "tocsr")) {
    PyErr_Format(PyExc_TypeError, "%s: sparse input is not supported; pass a dense array", name);
    return PyRef();
  }
  PyRef any(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
  if (!any) return PyRef();
  auto* array = reinterpret_cast<PyArrayObject*>(any.get());
  const char kind = PyArray_DESCR(array)->kind;
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    PyErr_Format(PyExc_TypeError, "%s must hold real numbers, got dtype %S", name,
                 dtype ? dtype.get() : Py_None);
    return PyRef();
  }
  if (PyArray_NDIM(array) != 2) {
    PyErr_Format(PyExc_ValueError, "%s must be a 2-D array, got %d dimension(s)", name,
                 PyArray_NDIM(array));
    return PyRef();
  }
  // float64 and integers are cast (rounded to float32); out-of-range values become infinities,
  // which the finiteness check then rejects.
  return PyRef(PyArray_FromAny(any.get(), PyArray_DescrFromType(NPY_FLOAT32), 2, 2,
                               NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
}

bool to_count(PyObject* obj, const char* name, long long min, std::uint64_t& out) {
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, got %s", name, Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) {  // above 2^63: only a seed can be that large
    const unsigned long long big = PyLong_AsUnsignedLongLong(index.get());
    if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      value_error(std::string(name) + " must be below 2**64");
      return false;
    }
    out = big;
    return true;
  }
  if (overflow < 0 || value < min) {
    PyRef shown(PyObject_Str(index.get()));
    PyErr_Format(PyExc_ValueError, "%s must be at least %lld, got %S", name, min,
                 shown ? shown.get() : Py_None);
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool check_finite(std::span<const float> values, const char* name) {
  // Exponent bits all set means infinity or NaN; integer arithmetic keeps the scan vectorisable.
  std::uint32_t bad = 0;
  for (const float v : values) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bad |= static_cast<std::uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
  }
  if (bad == 0) return true;
  value_error(std::string(name) + " contains NaN or infinity");
  return false;
}

bool set_build_param(orlim::BuildParams& params, const orlim::BuildParamSpec& target,
                     PyObject* value) {
  bool ok = true;
  orlim::for_each_build_param(params, [&](const orlim::BuildParamSpec& decl, auto& field) {
    if (&decl != &target) return;
    using Field = std::decay_t<decltype(field)>;
    if constexpr (std::is_same_v<Field, float>) {
      if (PyBool_Check(value) || !(PyFloat_Check(value) || PyIndex_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be a real number, got %s", decl.name,
                     Py_TYPE(value)->tp_name);
        ok = false;
        return;
      }
      const double v = PyFloat_AsDouble(value);
      if (v == -1.0 && PyErr_Occurred()) {
        ok = false;
        return;
      }
      field = static_cast<float>(v);
    } else {
      // Values below the range are caught here, those above it by the table's check.
      std::uint64_t v = 0;
      ok = to_count(value, decl.name, static_cast<long long>(decl.min), v);
      constexpr auto largest = static_cast<std::uint64_t>(static_cast<Field>(-1));
      if (ok && v > largest) {
        value_error(std::string(decl.name) + " is too large");
        ok = false;
      }
      if (ok) field = static_cast<Field>(v);
    }
  });
  return ok;
}

bool to_metric(PyObject* obj, orlim::Metric& out) {
  if (obj == nullptr) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "metric must be a str, got %s", Py_TYPE(obj)->tp_name);
    return false;
  }
  const char* text = PyUnicode_AsUTF8(obj);
  if (text == nullptr) return false;
  const auto metric = orlim::parse_metric(text);
  if (!metric) {
    value_error(std::string("unsupported metric: ") + text);
    return false;
  }
  out = *metric;
  return true;
}

// n_jobs in scikit-learn's convention, resolved by the package as everywhere else in orlim
// (through joblib): None is 1 unless a joblib backend says otherwise, -1 every CPU the process
// may use, -2 all but one, and so on; 0 is refused. Always a positive count of threads.
bool to_threads(PyObject* obj, std::size_t& threads) {
  threads = 0;
  PyRef checks(PyImport_ImportModule("orlim._checks"));
  if (!checks) return false;
  PyRef count(PyObject_CallMethod(checks.get(), "native_n_jobs", "O", obj ? obj : Py_None));
  if (!count) return false;
  const Py_ssize_t value = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) return false;
  threads = static_cast<std::size_t>(std::max<Py_ssize_t>(1, value));
  if (threads > orlim::Pool::kMaxThreads) {
    value_error("n_jobs must be at most " + std::to_string(orlim::Pool::kMaxThreads));
    return false;
  }
  return true;
}

bool point_matrix(PyObject* x, orlim::Metric metric, PyRef& matrix, std::span<const float>& values,
                  std::size_t& n, std::size_t& d) {
  matrix = float32_matrix(x, "x");
  if (!matrix) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(matrix.get());
  n = static_cast<std::size_t>(PyArray_DIM(array, 0));
  d = static_cast<std::size_t>(PyArray_DIM(array, 1));
  if (n == 0) {
    value_error("x has no rows");
    return false;
  }
  if (d == 0) {
    value_error("x has no columns");
    return false;
  }
  if (n > 0xFFFFFFFFu) {
    value_error("x has more than 4294967295 rows");
    return false;
  }
  values = std::span<const float>(static_cast<const float*>(PyArray_DATA(array)), n * d);
  if (!check_finite(values, "x")) return false;
  if (metric == orlim::Metric::Euclidean) {
    orlim::ColumnRange range = orlim::empty_column_range(d);
    orlim::widen_column_range(range, values);
    if (!orlim::sq_distances_fit(range)) {
      value_error("x spans too wide a range for float32 squared distances");
      return false;
    }
  }
  return true;
}


PyObject* to_tables(const orlim::SelfKnn& knn, std::size_t rows, std::size_t k) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(k)};
  PyRef ids(PyArray_SimpleNew(2, dims, NPY_INT64));
  PyRef dists(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
  if (!ids || !dists) return nullptr;
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ids.get())));
  for (std::size_t i = 0; i < knn.indices.size(); ++i) out[i] = knn.indices[i];
  if (!knn.distances.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(dists.get())), knn.distances.data(),
                knn.distances.size() * sizeof(float));
  }
  return PyTuple_Pack(2, ids.get(), dists.get());
}

}  // namespace orlim_index
