#include "index_type.hpp"

#include "numpy_api.hpp"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "args.hpp"
#include "call_frame.hpp"
#include "orlim/index/graph_index.hpp"
#include "result.hpp"

namespace orlim_py {

namespace {

// The index is immutable once built, so any number of queries may read it at once without locks;
// a running query holds a reference to the Python object, which keeps it alive.
struct IndexObject {
  PyObject_HEAD orlim::GraphIndex* index;
  orlim::ColumnRange* range;  // what the stored points fill, which queries must stay near
};

constexpr auto kNewParams =
    graph_index_params<2, false>({required_matrix("x"), text_param("metric", "euclidean")});
constexpr Signature kNewSignature{"OrlimIndex.__new__()", kNewParams};

constexpr std::array kQueryParams = {
    required_matrix("queries"),
    required_u64("n_neighbors"),
    u64_param("beam_l", 64),
};
constexpr Signature kQuerySignature{"OrlimIndex.query()", kQueryParams};

constexpr const char kClassDoc[] =
    "OrlimIndex(x, metric=\"euclidean\", m=12, l_max=64, r=64, alpha=1.2, fanout=2, c_min=256, "
    "c_max=2048, runs=1, n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "A persistent Orlim index: build once, query many. The right shape for the\n"
    "ANN-benchmark iso-recall harness, where build cost is amortized and only the\n"
    "per-query `beam_l` sweep is timed (unlike the fused one-shot `build_and_query`).";

constexpr const char kQueryDoc[] =
    "query($self, queries, n_neighbors, beam_l=64)\n"
    "--\n"
    "\n"
    "Query an external set. Returns `(indices, distances, stride)` flat arrays\n"
    "(`stride == n_neighbors`, no self edge). `beam_l` is the recall/speed knob.";

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Arguments a;
  if (!a.parse(kNewSignature, args, kwargs)) return nullptr;
  const auto metric = checked_metric(a.text("metric"));
  if (!metric) return nullptr;
  const ReadonlyMatrix& x = a.matrix("x");
  if (x.rows == 0) return raise_value_error("empty base matrix");

  std::vector<float> values;
  if (!copy_or_raise(x, values)) return nullptr;
  auto range = std::make_unique<orlim::ColumnRange>();
  if (!check_matrix_values(x, values, "x") ||
      !check_base_range(values, x.cols, *metric, *range)) {
    return nullptr;
  }
  const orlim::BuildParams params = build_params_from(a, *metric);
  std::optional<orlim::Pool> pool = dedicated_pool(a.u64("n_jobs"));

  std::unique_ptr<orlim::GraphIndex> index;
  const bool ok = run_unlocked(pool, [&] {
    index = std::make_unique<orlim::GraphIndex>(
        orlim::GraphIndex::build(std::move(values), x.rows, x.cols, params));
  });
  if (!ok) return nullptr;

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<IndexObject*>(self)->index = index.release();
  reinterpret_cast<IndexObject*>(self)->range = range.release();
  return self;
}

void index_dealloc(PyObject* self) {
  delete reinterpret_cast<IndexObject*>(self)->index;
  delete reinterpret_cast<IndexObject*>(self)->range;
  Py_TYPE(self)->tp_free(self);
}

PyObject* index_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  const orlim::GraphIndex& index = *reinterpret_cast<IndexObject*>(self)->index;
  const orlim::ColumnRange& range = *reinterpret_cast<IndexObject*>(self)->range;
  Arguments a;
  if (!a.parse(kQuerySignature, args, kwargs)) return nullptr;
  const ReadonlyMatrix& queries = a.matrix("queries");
  if (!check_query_width(queries, index.d())) return nullptr;
  const std::optional<MatrixValues> query = matrix_values(queries, /*allow_in_place=*/false);
  if (!query) return nullptr;
  if (queries.rows > 0 && (!check_matrix_values(queries, query->values, "queries") ||
                           !check_query_range(range, query->values))) {
    return nullptr;
  }
  if (!check_query_k(a.u64("n_neighbors"))) return nullptr;
  const orlim::SearchParams search{a.u64("n_neighbors"), a.u64("beam_l")};

  std::optional<orlim::Pool> default_pool;  // queries always use the process-wide pool
  orlim::SelfKnn knn;
  const bool ok = run_unlocked(default_pool,
                               [&] { knn = index.query(query->values, queries.rows, search); });
  if (!ok) return nullptr;
  return to_result_tuple(std::move(knn));
}

PyMethodDef kIndexMethods[] = {
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_query)),
     METH_VARARGS | METH_KEYWORDS, kQueryDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_index_type() {
  // A static type: its name carries no module prefix, it is not subclassable (no
  // Py_TPFLAGS_BASETYPE) and its instances have no dict or weak-reference slots.
  static PyTypeObject type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);  // what PyVarObject_HEAD_INIT sets
    t.tp_name = "OrlimIndex";
    t.tp_basicsize = sizeof(IndexObject);
    t.tp_dealloc = &index_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = kClassDoc;
    t.tp_methods = kIndexMethods;
    t.tp_new = &index_new;
    return t;
  }();
  if (PyType_Ready(&type) != 0) return nullptr;
  Py_INCREF(&type);
  return reinterpret_cast<PyObject*>(&type);
}

}  // namespace orlim_py
