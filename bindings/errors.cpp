#include "errors.hpp"

#include <exception>
#include <new>

namespace orlim_py {

namespace {
PyObject* g_internal_failure = nullptr;  // one strong reference for the life of the process
}

bool init_internal_failure_type() {
  if (g_internal_failure != nullptr) return true;
  // Derived from BaseException so that a plain `except Exception` does not swallow a broken
  // invariant of the native code.
  g_internal_failure = PyErr_NewExceptionWithDoc(
      "_orlim.InternalFailure",
      "A failure inside the native computation (a broken invariant or an invalid build "
      "parameter). The call released everything it made; the module stays usable.",
      PyExc_BaseException, nullptr);
  return g_internal_failure != nullptr;
}

PyObject* internal_failure_type() { return g_internal_failure; }

PyObject* set_python_error() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_internal_failure, e.what());
  } catch (...) {
    PyErr_SetString(g_internal_failure, "unknown native failure");
  }
  return nullptr;
}

}  // namespace orlim_py
