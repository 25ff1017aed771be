// The one frame every long call of the module runs its native work in: the interpreter lock
// released, a worker pool chosen, and every C++ exception turned into a Python one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "orlim/base/parallel.hpp"

namespace orlim_index {

// Runs `job` with the lock released: on a dedicated pool of `threads` workers when threads > 0
// (the default pool when it cannot be made), otherwise on the process-wide pool. The job must
// own everything it makes and touch no Python object. Returns false with a Python error set
// when the job failed: MemoryError for a failed allocation, RuntimeError for a broken invariant.
bool run_job(std::size_t threads, orlim::FunctionRef<void()> job);

}  // namespace orlim_index
