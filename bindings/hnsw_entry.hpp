// The module-level callable of the HNSW backend and its docstring.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orlim_py {

extern const char kHnswSelfKnnDoc[];

// hnsw_self_knn(x, n_neighbors, metric, m, ef_construction, ef_search, quantize, n_jobs, seed):
// self-kNN of x from an HNSW graph, in the layout of build_and_self_knn.
PyObject* hnsw_self_knn(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace orlim_py
