// orlim._index.refine_self_knn: the self-kNN by refinement, without an index.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orlim_index {

PyObject* refine_self_knn(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char kRefineSelfKnnDoc[];

}  // namespace orlim_index
