// Native k-NN results handed to Python without copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "orlim/data/knn_result.hpp"

namespace orlim_py {

// (indices uint32[rows*stride], distances float32[rows*stride], stride). Each array adopts its
// buffer through an owner object that frees it exactly once. Consumes `knn`; needs the lock.
PyObject* to_result_tuple(orlim::SelfKnn&& knn);

}  // namespace orlim_py
