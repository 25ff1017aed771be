#include "hnsw_entry.hpp"

#include "numpy_api.hpp"

#include <array>
#include <optional>
#include <string>

#include "args.hpp"
#include "call_frame.hpp"
#include "orlim/data/dataset.hpp"
#include "orlim/hnsw/driver.hpp"
#include "result.hpp"

namespace orlim_py {

namespace {

constexpr std::array kHnswParams = {
    required_matrix("x"),
    required_u64("n_neighbors"),
    text_param("metric", "euclidean"),
    u64_param("m", 16),
    u64_param("ef_construction", 200),
    u64_param("ef_search", 64),
    text_param("quantize", "none"),
    u64_param("n_jobs", 0),
    u64_param("seed", 0),
};
constexpr Signature kHnswSignature{"hnsw_self_knn()", kHnswParams};

// Whether `name` selects the SQ8 codes, or nullopt with "unsupported quantize: {}" raised. The
// comparison and the message use the ASCII-lower-cased name; nothing is trimmed.
std::optional<bool> checked_quantize(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "sq8") return true;
  if (lower == "none" || lower == "fp32" || lower.empty()) return false;
  raise_value_error("unsupported quantize: " + lower);
  return std::nullopt;
}

}  // namespace

const char kHnswSelfKnnDoc[] =
    "hnsw_self_knn(x, n_neighbors, metric=\"euclidean\", m=16, ef_construction=200, "
    "ef_search=64, quantize=\"none\", n_jobs=0, seed=0)\n"
    "--\n"
    "\n"
    "Build a compact HNSW index and return self-kNN \xe2\x80\x94 same `(indices, distances,\n"
    "stride)` layout as `build_and_self_knn`. A native graph-ANN comparison backend.";

PyObject* hnsw_self_knn(PyObject*, PyObject* args, PyObject* kwargs) {
  Arguments a;
  if (!a.parse(kHnswSignature, args, kwargs)) return nullptr;
  const auto metric = checked_metric(a.text("metric"));
  if (!metric) return nullptr;
  const auto sq8 = checked_quantize(a.text("quantize"));
  if (!sq8) return nullptr;
  const ReadonlyMatrix& x = a.matrix("x");
  if (x.rows == 0) return raise_value_error("empty input matrix");

  // Always a row-major copy: the call never reads the caller's buffer without the lock.
  const std::optional<MatrixValues> base = matrix_values(x, /*allow_in_place=*/false);
  if (!base) return nullptr;
  orlim::ColumnRange range;
  if (!check_matrix_values(x, base->values, "x") ||
      !check_base_range(base->values, x.cols, *metric, range)) {
    return nullptr;
  }
  const std::size_t k = a.u64("n_neighbors");
  orlim::hnsw::HnswParams params;
  params.m = a.u64("m");
  params.ef_construction = a.u64("ef_construction");
  params.ef_search = a.u64("ef_search");
  params.seed = a.u64("seed");
  params.sq8 = *sq8;
  std::optional<orlim::Pool> pool = dedicated_pool(a.u64("n_jobs"));

  orlim::SelfKnn knn;
  const bool ok = run_unlocked(pool, [&] {
    const orlim::Dataset data(base->values, x.rows, x.cols, *metric);
    knn = orlim::hnsw::knn_self_hnsw(data, params, k);
  });
  if (!ok) return nullptr;
  return to_result_tuple(std::move(knn));
}

}  // namespace orlim_py
