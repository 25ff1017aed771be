#include "args.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace orlim_py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// Binding with the interpreter's rules: positional in order, keywords by exact name, then the
// missing required parameters named all at once.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& slots) {
  const std::size_t count = sig.params.size();
  std::size_t required = 0;
  for (const Param& p : sig.params) required += p.required ? 1 : 0;
  slots.assign(count, nullptr);

  const std::size_t given = args != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
  if (given > count) {
    return raise_type_error(std::string(sig.display) + " takes from " + std::to_string(required) +
                            " to " + std::to_string(count) + " positional arguments but " +
                            std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t match = count;
      for (std::size_t i = 0; i < count && PyUnicode_Check(key); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) match = i;
      }
      const char* shown = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (shown == nullptr) {
        PyErr_Clear();
        shown = "?";
      }
      if (match == count) {
        return raise_type_error(std::string(sig.display) + " got an unexpected keyword argument '" +
                                shown + "'");
      }
      if (slots[match] != nullptr) {
        return raise_type_error(std::string(sig.display) + " got multiple values for argument '" +
                                shown + "'");
      }
      slots[match] = value;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (sig.params[i].required && slots[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  if (!missing.empty()) {
    return raise_type_error(std::string(sig.display) + " missing " +
                            std::to_string(missing.size()) + " required positional " +
                            (missing.size() == 1 ? "argument" : "arguments") + ": " +
                            quoted_list(missing));
  }
  return true;
}

// A TypeError raised while converting `name` becomes "argument 'name': <inner message>" with the
// inner error as its cause; any other exception is left as it is.
void wrap_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyRef inner(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);

  PyRef text(PyObject_Str(inner.get()));
  if (!text) return;  // an error while formatting is raised instead
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef outer(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!outer) return;
  PyException_SetContext(outer.get(), PyRef::borrow(inner.get()).release());
  PyException_SetCause(outer.get(), inner.release());
  PyErr_SetObject(PyExc_TypeError, outer.get());
}

bool to_matrix(PyObject* obj, ReadonlyMatrix& out) {
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a 2-D numpy.ndarray of float32, got %s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) {
    PyErr_Format(PyExc_TypeError, "expected a 2-D numpy.ndarray of float32, got a %d-D array",
                 PyArray_NDIM(array));
    return false;
  }
  PyRef float32(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT32)));
  if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float32.get()))) {
    PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    PyErr_Format(PyExc_TypeError, "expected a 2-D numpy.ndarray of float32, got dtype %S",
                 dtype ? dtype.get() : Py_None);
    return false;
  }
  out.array = PyRef::borrow(obj);
  out.base = static_cast<const char*>(PyArray_DATA(array));
  out.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  out.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  out.stride0 = PyArray_STRIDE(array, 0);
  out.stride1 = PyArray_STRIDE(array, 1);
  out.c_contiguous = PyArray_IS_C_CONTIGUOUS(array);
  out.aligned = PyArray_ISALIGNED(array);
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_f32(PyObject* obj, float& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = static_cast<float>(value);  // round to nearest; out-of-range values become infinities
  return true;
}

bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

std::vector<float> copy_row_major(const ReadonlyMatrix& m) {
  std::vector<float> out(m.rows * m.cols);
  float* dst = out.data();
  for (std::size_t i = 0; i < m.rows; ++i) {
    const char* row = m.base + static_cast<std::ptrdiff_t>(i) * m.stride0;
    if (m.stride1 == static_cast<std::ptrdiff_t>(sizeof(float))) {
      std::memcpy(dst, row, m.cols * sizeof(float));
      dst += m.cols;
      continue;
    }
    for (std::size_t j = 0; j < m.cols; ++j) {
      // memcpy: the source may be unaligned
      std::memcpy(dst++, row + static_cast<std::ptrdiff_t>(j) * m.stride1, sizeof(float));
    }
  }
  return out;
}

bool Arguments::parse(const Signature& signature, PyObject* args, PyObject* kwargs) {
  signature_ = &signature;
  std::vector<PyObject*> slots;
  if (!bind(signature, args, kwargs, slots)) return false;
  values_.clear();
  values_.resize(signature.params.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Param& p = signature.params[i];
    Value& v = values_[i];
    PyObject* obj = slots[i];
    if (obj == nullptr) {  // an omitted optional parameter takes its default
      v.u64 = p.u64_default;
      v.f32 = p.f32_default;
      v.text = p.text_default != nullptr ? p.text_default : "";
      continue;
    }
    bool ok = false;
    switch (p.kind) {
      case Kind::Matrix:
        ok = to_matrix(obj, v.matrix);
        break;
      case Kind::U64:
        ok = to_u64(obj, v.u64);
        break;
      case Kind::F32:
        ok = to_f32(obj, v.f32);
        break;
      case Kind::Text:
        ok = to_text(obj, v.text);
        break;
    }
    if (!ok) {
      wrap_type_error(p.name);
      return false;
    }
  }
  return true;
}

const Arguments::Value& Arguments::find(std::string_view name) const {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (name == signature_->params[i].name) return values_[i];
  }
  // A name missing from its own table is a programming error of this module, caught by tests.
  static const Value missing{};
  return missing;
}

const ReadonlyMatrix& Arguments::matrix(std::string_view name) const { return find(name).matrix; }
std::uint64_t Arguments::u64(std::string_view name) const { return find(name).u64; }
float Arguments::f32(std::string_view name) const { return find(name).f32; }
const std::string& Arguments::text(std::string_view name) const { return find(name).text; }

PyObject* raise_value_error(const std::string& message) {
  PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

bool check_matrix_values(const ReadonlyMatrix& m, std::span<const float> values, const char* name) {
  if (m.cols == 0) {
    raise_value_error(std::string(name) + " has zero columns");
    return false;
  }
  if (m.rows > std::numeric_limits<std::uint32_t>::max()) {
    raise_value_error(std::string(name) + " has more than 4294967295 rows");
    return false;
  }
  // Exponent bits all set means infinity or NaN; integer arithmetic keeps the scan vectorisable.
  std::uint32_t bad = 0;
  for (const float v : values) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bad |= static_cast<std::uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
  }
  if (bad != 0) {
    raise_value_error(std::string(name) + " contains NaN or infinity");
    return false;
  }
  return true;
}

bool check_base_range(std::span<const float> values, std::size_t cols, orlim::Metric metric,
                      orlim::ColumnRange& range) {
  if (metric == orlim::Metric::Cosine) {
    range = orlim::unit_column_range(cols);
    return true;
  }
  range = orlim::empty_column_range(cols);
  orlim::widen_column_range(range, values);
  if (!orlim::sq_distances_fit(range)) {
    raise_value_error("x spans too wide a range for float32 squared distances");
    return false;
  }
  return true;
}

bool check_query_range(const orlim::ColumnRange& base, std::span<const float> values) {
  orlim::ColumnRange range = base;
  orlim::widen_column_range(range, values);
  if (!orlim::sq_distances_fit(range)) {
    raise_value_error("queries lie too far from x for float32 squared distances");
    return false;
  }
  return true;
}

}  // namespace orlim_py
