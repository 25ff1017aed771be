// Module initialisation: the callables in their fixed order, then __version__.
#define ORLIM_IMPORTS_NUMPY
#include "numpy_api.hpp"

#include "entry_points.hpp"
#include "errors.hpp"
#include "index_type.hpp"
#include "interruptible.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/kernels/blas.hpp"
#include "py_ref.hpp"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_orlim", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module belongs to the first interpreter that imports it: worker pools and the types it
// creates are process-wide, and they are not shareable with another interpreter.
PyInterpreterState* g_owner = nullptr;
PyObject* g_module = nullptr;  // one strong reference, kept for the life of the process

// The BLAS is loaded now, on the importing thread, rather than by the first build on a worker:
// the load briefly sets an environment variable (blas.hpp), which is safest before any call runs.
bool load_blas_now() {
  try {
    orlim::load_blas();
    return true;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return false;
  }
}

PyObject* create_module() {
  if (_import_array() < 0) return nullptr;
  if (!load_blas_now()) return nullptr;
  if (!orlim_py::init_internal_failure_type()) return nullptr;
  if (!orlim_py::install_exit_hook()) return nullptr;
  g_module_def.m_methods = orlim_py::module_methods();
  orlim_py::PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  orlim_py::PyRef index_type(orlim_py::create_index_type());
  if (!index_type || PyModule_AddObjectRef(module.get(), "OrlimIndex", index_type.get()) != 0) {
    return nullptr;
  }
  if (PyModule_AddStringConstant(module.get(), "__version__", "0.1.1") != 0) return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__orlim(void) {
  PyInterpreterState* here = PyInterpreterState_Get();
  if (g_module != nullptr) {
    if (here != g_owner) {
      PyErr_SetString(PyExc_ImportError,
                      "_orlim can only be imported by the interpreter that first imported it");
      return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  g_owner = here;
  g_module = module;
  Py_INCREF(g_module);
  return module;
}
