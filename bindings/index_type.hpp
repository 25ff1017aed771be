// The OrlimIndex type: a graph index built once over a private copy of the base matrix and
// queried any number of times.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orlim_py {

// Creates the type (once per process) and returns a new reference to it, or nullptr.
PyObject* create_index_type();

}  // namespace orlim_py
