#include "call_frame.hpp"

#include <exception>
#include <new>
#include <optional>

#include "py_ref.hpp"

namespace orlim_index {

bool run_job(std::size_t threads, orlim::FunctionRef<void()> job) {
  try {
    // Declared first, so that a dedicated pool is gone before the lock returns.
    orlim_py::GilRelease unlocked;
    std::optional<orlim::Pool> dedicated;
    if (threads > 0) dedicated = orlim::Pool::dedicated(threads);
    orlim::Pool& pool = dedicated ? *dedicated : orlim::Pool::shared();
    pool.run(job);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return false;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native failure");
    return false;
  }
  return true;
}

}  // namespace orlim_index
