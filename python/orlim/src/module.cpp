// orlim._index: the Index type and the build-parameter table the Python package derives its
// keyword lists from.
#define ORLIM_INDEX_IMPORTS_NUMPY
#include "numpy_api.hpp"

#include "index_type.hpp"
#include "refine_call.hpp"
#include "orlim/build/build_params.hpp"
#include "orlim/kernels/blas.hpp"
#include "interruptible.hpp"
#include "py_ref.hpp"

namespace {

using orlim_py::PyRef;

PyMethodDef g_methods[] = {
    {"refine_self_knn",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&orlim_index::refine_self_knn)),
     METH_VARARGS | METH_KEYWORDS, orlim_index::kRefineSelfKnnDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "orlim._index",
    "The native Index type of the orlim package and its index-free self-kNN.", -1, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

// ((name, type, default, min, max, doc), ...) in table order; type is "int" or "float".
PyObject* build_param_table() {
  PyRef rows(PyTuple_New(static_cast<Py_ssize_t>(orlim::kBuildParamCount)));
  if (!rows) return nullptr;
  Py_ssize_t i = 0;
  for (const orlim::BuildParamSpec& decl : orlim::kBuildParamSpecs) {
    const bool real = decl.type == orlim::ParamType::Real;
    PyRef def(real ? PyFloat_FromDouble(decl.default_value)
                   : PyLong_FromDouble(decl.default_value));
    PyRef lo(real ? PyFloat_FromDouble(decl.min) : PyLong_FromDouble(decl.min));
    PyRef hi(decl.max == orlim::kUnbounded
                 ? PyRef::borrow(Py_None)
                 : PyRef(real ? PyFloat_FromDouble(decl.max) : PyLong_FromDouble(decl.max)));
    if (!def || !lo || !hi) return nullptr;
    PyObject* row = Py_BuildValue("(ssOOOs)", decl.name, real ? "float" : "int", def.get(),
                                  lo.get(), hi.get(), decl.doc);
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(rows.get(), i++, row);
  }
  return rows.release();
}

PyObject* create_module() {
  if (_import_array() < 0) return nullptr;
  try {
    orlim::load_blas();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  // Exit stops this module's running calls before the interpreter finalises (its core is its own).
  if (!orlim_py::install_exit_hook()) return nullptr;
  PyRef type(orlim_index::create_index_type());
  if (!type || PyModule_AddObjectRef(module.get(), "Index", type.get()) != 0) return nullptr;
  PyRef table(build_param_table());
  if (!table || PyModule_AddObjectRef(module.get(), "BUILD_PARAMS", table.get()) != 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__index(void) { return create_module(); }
