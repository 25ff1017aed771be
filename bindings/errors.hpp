// The module's internal-failure exception and the one place C++ exceptions become Python ones.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orlim_py {

// Creates the internal-failure type (derived directly from BaseException). Call once, at import.
bool init_internal_failure_type();
PyObject* internal_failure_type();

// Translates the exception being handled into a Python error and returns nullptr. Call only
// inside a catch block, with the interpreter lock held.
PyObject* set_python_error();

}  // namespace orlim_py
