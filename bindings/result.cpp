#include "result.hpp"

#include "numpy_api.hpp"

#include <new>
#include <utility>
#include <vector>

#include "py_ref.hpp"

namespace orlim_py {

namespace {

// Owns one native buffer (a heap-allocated std::vector) on behalf of the arrays based on it.
struct BufferOwner {
  PyObject_HEAD void* storage;
  void (*release)(void*);
};

void owner_dealloc(PyObject* self) {
  auto* owner = reinterpret_cast<BufferOwner*>(self);
  if (owner->release != nullptr) owner->release(owner->storage);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyTypeObject* owner_type() {
  // Created on first use and kept for the life of the process.
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&owner_dealloc)},
                                  {0, nullptr}};
    static PyType_Spec spec = {"_orlim._BufferOwner", sizeof(BufferOwner), 0, Py_TPFLAGS_DEFAULT,
                               slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  return type;
}

template <class T>
PyRef adopt(std::vector<T>&& buffer, int typenum) {
  PyTypeObject* type = owner_type();
  if (type == nullptr) return PyRef();
  auto* heap = new (std::nothrow) std::vector<T>(std::move(buffer));
  if (heap == nullptr) {
    PyErr_NoMemory();
    return PyRef();
  }
  PyRef owner(type->tp_alloc(type, 0));
  if (!owner) {
    delete heap;
    return PyRef();
  }
  auto* raw = reinterpret_cast<BufferOwner*>(owner.get());
  raw->storage = heap;
  raw->release = [](void* p) { delete static_cast<std::vector<T>*>(p); };

  npy_intp length = static_cast<npy_intp>(heap->size());
  PyRef array(PyArray_SimpleNewFromData(1, &length, typenum, heap->data()));
  if (!array) return PyRef();
  // Steals the owner reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) != 0) {
    return PyRef();
  }
  return array;
}

}  // namespace

PyObject* to_result_tuple(orlim::SelfKnn&& knn) {
  static_assert(sizeof(orlim::PointId) == 4 && sizeof(float) == 4);
  PyRef ids = adopt(std::move(knn.indices), NPY_UINT32);
  if (!ids) return nullptr;
  PyRef dists = adopt(std::move(knn.distances), NPY_FLOAT32);
  if (!dists) return nullptr;
  PyRef stride(PyLong_FromSize_t(knn.stride));
  if (!stride) return nullptr;
  return PyTuple_Pack(3, ids.get(), dists.get(), stride.get());
}

}  // namespace orlim_py
