// The module-level callables, in registration order, with their docstrings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orlim_py {

// Null-terminated method table for the module definition.
PyMethodDef* module_methods();

}  // namespace orlim_py
