// Every source of the module includes NumPy through this header, so all of them share the one
// API table that module.cpp imports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL orlim_index_ARRAY_API
#ifndef ORLIM_INDEX_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
