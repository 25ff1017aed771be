// The orlim.Index type: a graph index built over a matrix or restored from a saved file, queried
// any number of times, from any number of threads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orlim_index {

// Creates the type (once per process) and returns a new reference to it, or nullptr.
PyObject* create_index_type();

}  // namespace orlim_index
