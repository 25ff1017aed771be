#include "index_type.hpp"

#include "numpy_api.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "call_frame.hpp"
#include "convert.hpp"
#include "orlim/base/failure.hpp"
#include "orlim/data/value_range.hpp"
#include "orlim/index/graph_index.hpp"
#include "py_ref.hpp"

namespace orlim_index {

namespace {

using orlim_py::PyRef;

// The index never changes after construction, so queries read it without locks. `keep` holds
// whatever the index borrows its values and graph rows from (arrays over a file or a mapping),
// or is null when the index owns them.
struct IndexObject {
  PyObject_HEAD orlim::GraphIndex* index;
  PyObject* keep;
  // The per-column extent of the stored points (Euclidean), which queries must stay near for
  // their squared distances to fit in float32; made on the first query that needs it (under the
  // interpreter lock), so that a mapped index is not read whole at load.
  orlim::ColumnRange* range;
};

orlim::GraphIndex& index_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->index; }

const char* metric_name(orlim::Metric metric) {
  return metric == orlim::Metric::Cosine ? "cosine" : "euclidean";
}

// The Python helpers that read and write the file format.
PyRef format_function(const char* name) {
  PyRef module(PyImport_ImportModule("orlim._format"));
  if (!module) return PyRef();
  return PyRef(PyObject_GetAttrString(module.get(), name));
}

PyObject* wrap(PyTypeObject* type, std::unique_ptr<orlim::GraphIndex> index, PyObject* keep) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* obj = reinterpret_cast<IndexObject*>(self);
  obj->index = index.release();
  Py_XINCREF(keep);
  obj->keep = keep;
  return self;
}

const orlim::BuildParamSpec* find_param(PyObject* key) {
  for (const orlim::BuildParamSpec& decl : orlim::kBuildParamSpecs) {
    if (PyUnicode_CompareWithASCIIString(key, decl.name) == 0) return &decl;
  }
  return nullptr;
}

// ---- construction

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  PyObject* x = given >= 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (given > 1) {
    return PyErr_Format(PyExc_TypeError,
                        "Index() takes 1 positional argument but %zd were given", given);
  }
  PyObject* metric_obj = nullptr;
  PyObject* jobs_obj = nullptr;
  PyObject* random_state = nullptr;
  orlim::BuildParams params;
  bool seed_given = false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (PyUnicode_CompareWithASCIIString(key, "x") == 0 && x == nullptr) {
        x = value;
      } else if (PyUnicode_CompareWithASCIIString(key, "metric") == 0) {
        metric_obj = value;
      } else if (PyUnicode_CompareWithASCIIString(key, "n_jobs") == 0) {
        jobs_obj = value;
      } else if (PyUnicode_CompareWithASCIIString(key, "random_state") == 0) {
        random_state = value;
      } else if (const orlim::BuildParamSpec* decl = find_param(key)) {
        if (!set_build_param(params, *decl, value)) return nullptr;
        seed_given |= std::string_view(decl->name) == "seed";
      } else {
        return PyErr_Format(PyExc_TypeError, "Index() got an unexpected keyword argument '%U'",
                            key);
      }
    }
  }
  if (x == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Index() missing 1 required positional argument: 'x'");
    return nullptr;
  }
  if (!to_metric(metric_obj, params.metric)) return nullptr;
  if (random_state != nullptr && random_state != Py_None) {
    if (seed_given) {
      PyErr_SetString(PyExc_TypeError, "Index() takes random_state or seed, not both");
      return nullptr;
    }
    if (!to_count(random_state, "random_state", 0, params.seed)) return nullptr;
  }
  std::size_t threads = 0;
  if (!to_threads(jobs_obj, threads)) return nullptr;
  const std::string invalid = orlim::build_params_error(params);
  if (!invalid.empty()) return value_error(invalid);

  PyRef matrix;
  std::span<const float> values;
  std::size_t n = 0, d = 0;
  if (!point_matrix(x, params.metric, matrix, values, n, d)) return nullptr;

  std::unique_ptr<orlim::GraphIndex> index;
  const bool ok = run_job(threads, [&] {
    std::vector<float> copy(values.begin(), values.end());
    index = std::make_unique<orlim::GraphIndex>(
        orlim::GraphIndex::build(std::move(copy), n, d, params));
  });
  if (!ok) return nullptr;
  return wrap(type, std::move(index), nullptr);
}

void index_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<IndexObject*>(self);
  delete obj->range;
  delete obj->index;  // before `keep`: the index may borrow from it
  Py_XDECREF(obj->keep);
  Py_TYPE(self)->tp_free(self);
}

// ---- searches

bool check_k(std::uint64_t k, std::size_t most, std::size_t n, const char* what) {
  if (k <= most) return true;
  value_error("Expected k <= " + std::string(what) + ", but k = " + std::to_string(k) +
              " and the index holds " + std::to_string(n) + " points");
  return false;
}

// Euclidean queries whose squared distances to the stored points would overflow float32 are
// refused, as the build refuses such points (cosine queries are normalized by the index).
bool check_query_range(PyObject* self, std::span<const float> queries) {
  auto* obj = reinterpret_cast<IndexObject*>(self);
  try {
    if (obj->range == nullptr) {
      auto range = std::make_unique<orlim::ColumnRange>(orlim::empty_column_range(obj->index->d()));
      orlim::widen_column_range(*range, obj->index->stored_values());
      obj->range = range.release();
    }
    orlim::ColumnRange range = *obj->range;
    orlim::widen_column_range(range, queries);
    if (orlim::sq_distances_fit(range)) return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  value_error("q lies too far from the indexed points for float32 squared distances");
  return false;
}

PyObject* index_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kNames[] = {"q", "k", "beam_l", nullptr};
  PyObject* q = nullptr;
  PyObject* k_obj = nullptr;
  PyObject* beam_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:query", const_cast<char**>(kNames), &q,
                                   &k_obj, &beam_obj)) {
    return nullptr;
  }
  const orlim::GraphIndex& index = index_of(self);
  std::uint64_t k = 10, beam_l = 64;
  if (k_obj != nullptr && !to_count(k_obj, "k", 1, k)) return nullptr;
  if (beam_obj != nullptr && !to_count(beam_obj, "beam_l", 1, beam_l)) return nullptr;
  if (!check_k(k, index.n(), index.n(), "n")) return nullptr;
  PyRef matrix = float32_matrix(q, "q");
  if (!matrix) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(matrix.get());
  const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  if (cols != index.d()) {
    return value_error("q has " + std::to_string(cols) + " columns but the index has " +
                       std::to_string(index.d()));
  }
  const std::span<const float> values(static_cast<const float*>(PyArray_DATA(array)), rows * cols);
  if (!check_finite(values, "q")) return nullptr;
  if (index.metric() == orlim::Metric::Euclidean && !check_query_range(self, values)) {
    return nullptr;
  }
  orlim::SelfKnn knn;
  if (rows > 0) {
    const bool ok = run_job(0, [&] { knn = index.query_distinct(values, rows, k, beam_l); });
    if (!ok) return nullptr;
  }
  return to_tables(knn, rows, k);
}

PyObject* index_self_knn(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kNames[] = {"k", "beam_l", nullptr};
  PyObject* k_obj = nullptr;
  PyObject* beam_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:self_knn", const_cast<char**>(kNames),
                                   &k_obj, &beam_obj)) {
    return nullptr;
  }
  const orlim::GraphIndex& index = index_of(self);
  std::uint64_t k = 0, beam_l = 64;
  if (!to_count(k_obj, "k", 1, k)) return nullptr;
  if (beam_obj != nullptr && !to_count(beam_obj, "beam_l", 1, beam_l)) return nullptr;
  if (!check_k(k, index.n() - 1, index.n(), "n - 1")) return nullptr;
  orlim::SelfKnn knn;
  const bool ok = run_job(0, [&] { knn = index.self_knn_distinct(k, beam_l); });
  if (!ok) return nullptr;
  return to_tables(knn, index.n(), k);
}

// ---- the arrays behind the index, for the file format

PyObject* borrowed_array(PyObject* owner, int nd, npy_intp* dims, int type, const void* data) {
  PyRef array(PyArray_New(&PyArray_Type, nd, dims, type, nullptr, const_cast<void*>(data), 0,
                          NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
  if (!array) return nullptr;
  Py_INCREF(owner);
  // Steals the owner reference, even on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner) != 0) {
    return nullptr;
  }
  return array.release();
}

PyObject* index_arrays(PyObject* self, PyObject*) {
  const orlim::GraphIndex& index = index_of(self);
  const orlim::GraphView graph = index.graph();
  npy_intp value_dims[2] = {static_cast<npy_intp>(index.n()), static_cast<npy_intp>(index.d())};
  npy_intp offset_dims[1] = {static_cast<npy_intp>(graph.offsets.size())};
  npy_intp edge_dims[1] = {static_cast<npy_intp>(graph.neighbors.size())};
  static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
  PyRef values(
      borrowed_array(self, 2, value_dims, NPY_FLOAT32, index.stored_values().data()));
  PyRef offsets(borrowed_array(self, 1, offset_dims, NPY_UINT64, graph.offsets.data()));
  PyRef edges(borrowed_array(self, 1, edge_dims, NPY_UINT32, graph.neighbors.data()));
  if (!values || !offsets || !edges) return nullptr;
  return Py_BuildValue("(OOOk)", values.get(), offsets.get(), edges.get(),
                       static_cast<unsigned long>(graph.entry));
}

// A read-only, C-contiguous, aligned array of `type` with `nd` dimensions, or ValueError.
PyArrayObject* exact_array(PyObject* obj, int nd, int type, const char* name) {
  if (!PyArray_Check(obj)) {
    value_error(std::string(name) + " must be an ndarray");
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != nd || PyArray_TYPE(array) != type || !PyArray_ISCARRAY_RO(array) ||
      !PyArray_ISNOTSWAPPED(array)) {
    value_error(std::string(name) + " has the wrong shape, type or layout");
    return nullptr;
  }
  return array;
}

PyObject* index_from_arrays(PyObject* cls, PyObject* args) {
  PyObject *values_obj, *offsets_obj, *edges_obj, *entry_obj, *metric_obj, *params_obj, *keep;
  if (!PyArg_ParseTuple(args, "OOOOUO!O:_from_arrays", &values_obj, &offsets_obj, &edges_obj,
                        &entry_obj, &metric_obj, &PyDict_Type, &params_obj, &keep)) {
    return nullptr;
  }
  PyArrayObject* values = exact_array(values_obj, 2, NPY_FLOAT32, "values");
  PyArrayObject* offsets = values ? exact_array(offsets_obj, 1, NPY_UINT64, "offsets") : nullptr;
  PyArrayObject* edges = offsets ? exact_array(edges_obj, 1, NPY_UINT32, "neighbors") : nullptr;
  if (edges == nullptr) return nullptr;
  const auto n = static_cast<std::size_t>(PyArray_DIM(values, 0));
  const auto d = static_cast<std::size_t>(PyArray_DIM(values, 1));
  if (n == 0 || d == 0 || n > 0xFFFFFFFFu) {
    return value_error("index size " + std::to_string(n) + " x " + std::to_string(d) +
                       " is out of range");
  }
  std::uint64_t entry = 0;
  if (!to_count(entry_obj, "entry", 0, entry)) return nullptr;
  if (entry >= n) return value_error("entry point " + std::to_string(entry) + " is not below n");
  const auto metric = orlim::parse_metric(PyUnicode_AsUTF8(metric_obj));
  if (!metric) return value_error("unsupported metric in the index");

  orlim::BuildParams params;
  params.metric = *metric;
  if (PyDict_Size(params_obj) != static_cast<Py_ssize_t>(orlim::kBuildParamCount)) {
    return value_error("the index does not list every build parameter");
  }
  for (const orlim::BuildParamSpec& decl : orlim::kBuildParamSpecs) {
    PyObject* value = PyDict_GetItemString(params_obj, decl.name);
    if (value == nullptr) {
      return value_error(std::string("build parameter ") + decl.name + " missing");
    }
    if (!set_build_param(params, decl, value)) return nullptr;
  }
  const std::string invalid = orlim::build_params_error(params);
  if (!invalid.empty()) return value_error(invalid);

  const orlim::GraphView graph(
      {static_cast<const std::size_t*>(PyArray_DATA(offsets)),
       static_cast<std::size_t>(PyArray_DIM(offsets, 0))},
      {static_cast<const orlim::PointId*>(PyArray_DATA(edges)),
       static_cast<std::size_t>(PyArray_DIM(edges, 0))},
      static_cast<orlim::PointId>(entry));
  const std::span<const float> stored(static_cast<const float*>(PyArray_DATA(values)), n * d);
  std::unique_ptr<orlim::GraphIndex> index;
  std::string fault;
  const bool ok = run_job(0, [&] {
    try {
      index = std::make_unique<orlim::GraphIndex>(
          orlim::GraphIndex::borrow(stored, n, d, params, graph));
    } catch (const orlim::Failure& e) {
      fault = e.what();  // a graph that does not fit its points: bad input, not a broken invariant
      return;
    }
    // A row with a non-finite value has a non-finite norm; only those rows need a look.
    const std::vector<float>& norms = index->data().norms;
    for (std::size_t i = 0; i < n && fault.empty(); ++i) {
      if (std::isfinite(norms[i])) continue;
      for (std::size_t j = 0; j < d; ++j) {
        if (!std::isfinite(stored[i * d + j])) fault = "values contain NaN or infinity";
      }
    }
  });
  if (!ok) return nullptr;
  if (!fault.empty()) return value_error(fault);
  PyRef tuple(PyTuple_Pack(4, values_obj, offsets_obj, edges_obj, keep));
  if (!tuple) return nullptr;
  return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(index), tuple.get());
}

// ---- persistence

PyObject* index_save(PyObject* self, PyObject* path) {
  PyRef save = format_function("save");
  if (!save) return nullptr;
  return PyObject_CallFunctionObjArgs(save.get(), self, path, nullptr);
}

PyObject* index_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* kNames[] = {"path", "mmap", "verify", nullptr};
  PyObject* path = nullptr;
  int mmap = 0, verify = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pp:load", const_cast<char**>(kNames), &path,
                                   &mmap, &verify)) {
    return nullptr;
  }
  PyRef load = format_function("load");
  if (!load) return nullptr;
  return PyObject_CallFunction(load.get(), "OOOO", cls, path, mmap ? Py_True : Py_False,
                               verify ? Py_True : Py_False);
}

PyObject* index_reduce(PyObject* self, PyObject*) {
  PyRef dumps = format_function("dumps");
  PyRef loads = format_function("loads");
  if (!dumps || !loads) return nullptr;
  PyRef data(PyObject_CallOneArg(dumps.get(), self));
  if (!data) return nullptr;
  return Py_BuildValue("(O(O))", loads.get(), data.get());
}

// ---- attributes

PyObject* get_n(PyObject* self, void*) { return PyLong_FromSize_t(index_of(self).n()); }
PyObject* get_dim(PyObject* self, void*) { return PyLong_FromSize_t(index_of(self).d()); }
PyObject* get_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(index_of(self).nbytes()); }
PyObject* get_metric(PyObject* self, void*) {
  return PyUnicode_FromString(metric_name(index_of(self).metric()));
}

PyObject* get_params(PyObject* self, void*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  bool ok = true;
  orlim::for_each_build_param(index_of(self).params(), [&](const orlim::BuildParamSpec& decl,
                                                           const auto& field) {
    if (!ok) return;
    PyRef value;
    if constexpr (std::is_same_v<std::decay_t<decltype(field)>, float>) {
      // The shortest decimal that reads back as the same float32: 1.2, not 1.2000000476837158.
      char text[32];
      const auto end = std::to_chars(text, text + sizeof text - 1, field).ptr;
      *end = '\0';
      value = PyRef(PyFloat_FromDouble(std::strtod(text, nullptr)));
    } else {
      value = PyRef(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(field)));
    }
    ok = value && PyDict_SetItemString(dict.get(), decl.name, value.get()) == 0;
  });
  return ok ? dict.release() : nullptr;
}

PyObject* index_repr(PyObject* self) {
  const orlim::GraphIndex& index = index_of(self);
  return PyUnicode_FromFormat("orlim.Index(n=%zu, dim=%zu, metric='%s', edges=%zu, r=%zu)",
                              index.n(), index.d(), metric_name(index.metric()),
                              index.graph().neighbors.size(), index.params().r);
}

// ---- docstrings (numpydoc)

constexpr const char kClassDoc[] =
    "Index(x, *, metric=\"euclidean\", n_jobs=None, random_state=None, **build_params)\n"
    "--\n"
    "\n"
    "Approximate nearest-neighbour graph index over the rows of a matrix.\n"
    "\n"
    "Built once, then queried any number of times, from any number of threads. It can be\n"
    "saved to a file and loaded back (optionally memory-mapped), and it pickles through the\n"
    "same format, so joblib and multiprocessing carry the built graph.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    The points to index, converted to float32 and copied. Must be finite.\n"
    "metric : {\"euclidean\", \"cosine\"}, default \"euclidean\"\n"
    "    \"euclidean\" (alias \"l2\") or \"cosine\" (alias \"angular\"; the rows are stored\n"
    "    normalized, distances are 1 - cosine similarity, a zero vector is at distance 1).\n"
    "n_jobs : int or None, default None\n"
    "    Threads for the build, in scikit-learn's convention through joblib: None is 1\n"
    "    unless a joblib backend says otherwise, -1 every CPU the process may use, -2 all\n"
    "    but one. Queries use the process-wide pool.\n"
    "random_state : int or None, default None\n"
    "    Seed of the randomized build (same as ``seed``); None keeps ``seed``.\n"
    "**build_params\n"
    "    Build parameters by name, ``orlim.BUILD_PARAMS`` lists them with defaults and ranges:\n"
    "    m, l_max, r, alpha, fanout, c_min, c_max, runs, seed. An unknown name raises\n"
    "    TypeError, a value out of range ValueError.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "n : int\n"
    "    Number of indexed points.\n"
    "dim : int\n"
    "    Number of features.\n"
    "metric : str\n"
    "    \"euclidean\" or \"cosine\".\n"
    "params : dict\n"
    "    The build parameters the graph was built with.\n"
    "nbytes : int\n"
    "    Bytes of values, norms and graph rows the index reads (mapped ones included).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, orlim\n"
    ">>> x = np.random.default_rng(0).standard_normal((1000, 16)).astype(np.float32)\n"
    ">>> index = orlim.Index(x, random_state=0)\n"
    ">>> ids, dist = index.query(x[:3], k=2)\n"
    ">>> ids[:, 0].tolist()\n"
    "[0, 1, 2]";

constexpr const char kQueryDoc[] =
    "query($self, q, k=10, *, beam_l=64)\n"
    "--\n"
    "\n"
    "The k indexed points nearest to each query row.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "q : array-like of shape (n_queries, n_features)\n"
    "    Query points (converted to float32; cosine queries are normalized here).\n"
    "k : int, default 10\n"
    "    Neighbours per query, 1 <= k <= n (ValueError otherwise, as scikit-learn raises for\n"
    "    n_neighbors > n_samples_fit).\n"
    "beam_l : int, default 64\n"
    "    Search beam width: larger is slower and more accurate.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ids : ndarray of shape (n_queries, k), int64\n"
    "    Distinct indexed rows, nearest first (ties by smaller id).\n"
    "distances : ndarray of shape (n_queries, k), float32\n"
    "    Euclidean distances, or cosine distances 1 - cos.";

constexpr const char kSelfKnnDoc[] =
    "self_knn($self, k, *, beam_l=64)\n"
    "--\n"
    "\n"
    "The k-NN graph of the indexed points, from the kept graph.\n"
    "\n"
    "As scikit-learn's ``kneighbors()`` without arguments and ``kneighbors_graph`` with\n"
    "``include_self=False``: row i lists the k nearest points other than i itself (exact\n"
    "duplicates of point i are listed, at distance 0).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "k : int\n"
    "    Neighbours per point, 1 <= k < n.\n"
    "beam_l : int, default 64\n"
    "    Search beam width.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ids : ndarray of shape (n, k), int64\n"
    "distances : ndarray of shape (n, k), float32";

constexpr const char kSaveDoc[] =
    "save($self, path)\n"
    "--\n"
    "\n"
    "Write the index to `path` in the versioned binary format.\n"
    "\n"
    "The file is written beside `path` under a temporary name and renamed into place, so\n"
    "`path` never holds a partly written index. Every byte is covered by a CRC-32 or an\n"
    "exact check. Queries may run on the index meanwhile.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "path : str or os.PathLike\n"
    "    Destination file.";

constexpr const char kLoadDoc[] =
    "load(path, *, mmap=False, verify=True)\n"
    "--\n"
    "\n"
    "Read an index written by `save`.\n"
    "\n"
    "Nothing in the file is trusted: a wrong magic, a newer format version, a truncated file,\n"
    "a checksum mismatch, sections out of order, a graph row offset that decreases, an edge\n"
    "id or entry point not below n or a size that does not match the file raise ValueError.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "path : str or os.PathLike\n"
    "    File written by `save`.\n"
    "mmap : bool, default False\n"
    "    Map the values and graph rows read-only instead of reading them into memory; the\n"
    "    mapping lives as long as the index. Pages are shared with every process mapping it.\n"
    "verify : bool, default True\n"
    "    Check the CRC-32 of every section (the header's is always checked). The structure\n"
    "    (sizes, offsets, edge ids) is checked either way; without it, a flipped bit in the\n"
    "    values goes unnoticed.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "Index";

PyMethodDef kMethods[] = {
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_query)),
     METH_VARARGS | METH_KEYWORDS, kQueryDoc},
    {"self_knn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_self_knn)),
     METH_VARARGS | METH_KEYWORDS, kSelfKnnDoc},
    {"save", &index_save, METH_O, kSaveDoc},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_load)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, kLoadDoc},
    {"__reduce__", &index_reduce, METH_NOARGS, "Pickle through the file format."},
    {"_arrays", &index_arrays, METH_NOARGS,
     "(values, offsets, neighbors, entry): read-only views of the index's memory."},
    {"_from_arrays", &index_from_arrays, METH_VARARGS | METH_CLASS,
     "_from_arrays(values, offsets, neighbors, entry, metric, params, keep): an index that\n"
     "borrows the arrays (kept alive with `keep`) after checking them."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"n", &get_n, nullptr, "Number of indexed points.", nullptr},
    {"dim", &get_dim, nullptr, "Number of features.", nullptr},
    {"metric", &get_metric, nullptr, "\"euclidean\" or \"cosine\".", nullptr},
    {"params", &get_params, nullptr, "The build parameters, as a new dict.", nullptr},
    {"nbytes", &get_nbytes, nullptr, "Bytes of values, norms and graph rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_index_type() {
  static PyTypeObject type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "orlim.Index";
    t.tp_basicsize = sizeof(IndexObject);
    t.tp_dealloc = &index_dealloc;
    t.tp_repr = &index_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = kClassDoc;
    t.tp_methods = kMethods;
    t.tp_getset = kGetSet;
    t.tp_new = &index_new;
    return t;
  }();
  if (PyType_Ready(&type) != 0) return nullptr;
  Py_INCREF(&type);
  return reinterpret_cast<PyObject*>(&type);
}

}  // namespace orlim_index
