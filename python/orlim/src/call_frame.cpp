#include "call_frame.hpp"

#include <exception>
#include <new>
#include <optional>

#include "interruptible.hpp"
#include "py_ref.hpp"

namespace orlim_index {

namespace {

// Translates the exception being handled; called inside a catch block with the lock held.
void set_error() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native failure");
  }
}

}  // namespace

bool run_job(std::size_t threads, orlim::FunctionRef<void()> job) {
  // The pool is made with the lock held: a dedicated one is gone again before the call returns,
  // and one whose threads cannot start fails here, as an exception.
  std::optional<orlim::Pool> dedicated;
  orlim::Pool* pool = nullptr;
  try {
    if (threads > 0) dedicated = orlim::Pool::dedicated(threads);
    pool = dedicated ? &*dedicated : &orlim::Pool::shared();
  } catch (...) {
    set_error();
    return false;
  }
  return orlim_py::run_interruptible(*pool, [&] { job(); }, set_error);
}

}  // namespace orlim_index
