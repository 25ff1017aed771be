#include "entry_points.hpp"

#include "numpy_api.hpp"

#include <array>
#include <optional>
#include <string>

#include "args.hpp"
#include "call_frame.hpp"
#include "hnsw_entry.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/index/one_shot.hpp"
#include "result.hpp"

namespace orlim_py {

namespace {

constexpr auto kSelfKnnParams = graph_index_params<3, true>(
    {required_matrix("x"), required_u64("n_neighbors"), text_param("metric", "euclidean")});
constexpr Signature kSelfKnnSignature{"build_and_self_knn()", kSelfKnnParams};

constexpr const char kSelfKnnDoc[] =
    "build_and_self_knn(x, n_neighbors, metric=\"euclidean\", m=12, l_max=64, r=64, alpha=1.2, "
    "beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "Build the index and return self-kNN as flat arrays.\n"
    "\n"
    "Returns `(indices, distances, stride)` where `indices`/`distances` are\n"
    "length `n * stride` row-major and `stride == k + 1` (self edge first).\n"
    "\n"
    "Phase 0 routes through exact brute force; later phases swap in the Orlim\n"
    "graph build + BeamSearch behind this same signature.";

PyObject* build_and_self_knn(PyObject*, PyObject* args, PyObject* kwargs) {
  Arguments a;
  if (!a.parse(kSelfKnnSignature, args, kwargs)) return nullptr;
  const auto metric = checked_metric(a.text("metric"));
  if (!metric) return nullptr;
  const ReadonlyMatrix& x = a.matrix("x");
  if (x.rows == 0) return raise_value_error("empty input matrix");

  const std::optional<MatrixValues> base = matrix_values(x, /*allow_in_place=*/true);
  if (!base) return nullptr;
  orlim::ColumnRange range;
  if (!check_matrix_values(x, base->values, "x") ||
      !check_base_range(base->values, x.cols, *metric, range)) {
    return nullptr;
  }
  const std::size_t k = a.u64("n_neighbors");
  const std::size_t beam_l = a.u64("beam_l");
  const orlim::BuildParams params = build_params_from(a, *metric);
  std::optional<orlim::Pool> pool = dedicated_pool(a.u64("n_jobs"));

  orlim::SelfKnn knn;
  const bool ok = run_unlocked(pool, [&] {
    knn = orlim::self_knn_job(orlim::Dataset(base->values, x.rows, x.cols, *metric), params, k,
                              beam_l);
  });
  if (!ok) return nullptr;
  return to_result_tuple(std::move(knn));
}

constexpr auto kQueryParams = graph_index_params<4, true>(
    {required_matrix("x"), required_matrix("queries"), required_u64("n_neighbors"),
     text_param("metric", "euclidean")});
constexpr Signature kQuerySignature{"build_and_query()", kQueryParams};

constexpr const char kQueryDoc[] =
    "build_and_query(x, queries, n_neighbors, metric=\"euclidean\", m=12, l_max=64, r=64, "
    "alpha=1.2, beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "Build a Orlim index over `x` (the base set) and return k-NN for an external\n"
    "`queries` set \u2014 the ANN-benchmark path (held-out queries vs. self-kNN).\n"
    "\n"
    "Returns `(indices, distances, stride)` with `indices`/`distances` length\n"
    "`n_q * stride`, `stride == n_neighbors` (no self edge). `beam_l` is the\n"
    "search-side recall/speed knob; `runs` is the build-side one.";

PyObject* build_and_query(PyObject*, PyObject* args, PyObject* kwargs) {
  Arguments a;
  if (!a.parse(kQuerySignature, args, kwargs)) return nullptr;
  const auto metric = checked_metric(a.text("metric"));
  if (!metric) return nullptr;
  const ReadonlyMatrix& x = a.matrix("x");
  const ReadonlyMatrix& queries = a.matrix("queries");
  if (x.rows == 0 || queries.rows == 0) return raise_value_error("empty base or query matrix");
  if (!check_query_width(queries, x.cols)) return nullptr;

  const std::optional<MatrixValues> base = matrix_values(x, /*allow_in_place=*/false);
  if (!base) return nullptr;
  const std::optional<MatrixValues> query = matrix_values(queries, /*allow_in_place=*/false);
  if (!query) return nullptr;
  orlim::ColumnRange range;
  if (!check_matrix_values(x, base->values, "x") ||
      !check_matrix_values(queries, query->values, "queries") ||
      !check_base_range(base->values, x.cols, *metric, range) ||
      !check_query_range(range, query->values)) {
    return nullptr;
  }
  const std::size_t k = a.u64("n_neighbors");
  if (!check_query_k(k)) return nullptr;
  const std::size_t beam_l = a.u64("beam_l");
  const orlim::BuildParams params = build_params_from(a, *metric);
  std::optional<orlim::Pool> pool = dedicated_pool(a.u64("n_jobs"));

  orlim::SelfKnn knn;
  const bool ok = run_unlocked(pool, [&] {
    knn = orlim::query_knn_job(orlim::Dataset(base->values, x.rows, x.cols, *metric), params,
                               query->values, queries.rows, k, beam_l);
  });
  if (!ok) return nullptr;
  return to_result_tuple(std::move(knn));
}

PyMethodDef kMethods[] = {
    {"build_and_self_knn",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&build_and_self_knn)),
     METH_VARARGS | METH_KEYWORDS, kSelfKnnDoc},
    {"build_and_query",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&build_and_query)),
     METH_VARARGS | METH_KEYWORDS, kQueryDoc},
    {"hnsw_self_knn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hnsw_self_knn)),
     METH_VARARGS | METH_KEYWORDS, kHnswSelfKnnDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_methods() { return kMethods; }

}  // namespace orlim_py
