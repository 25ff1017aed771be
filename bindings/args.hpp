// Argument binding and conversion for every callable of the module, driven by signature tables.
//
// A callable describes its parameters once (name, kind, default); `Arguments::parse` binds
// positional and keyword arguments with the interpreter's own rules and messages, then converts
// them in signature order, stopping at the first failure with its Python exception set.
#pragma once

#include "numpy_api.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orlim/build/build_params.hpp"
#include "orlim/data/metric.hpp"
#include "orlim/data/value_range.hpp"

#include "py_ref.hpp"

namespace orlim_py {

enum class Kind { Matrix, U64, F32, Text };

struct Param {
  const char* name = nullptr;
  Kind kind = Kind::U64;
  bool required = false;
  std::uint64_t u64_default = 0;
  float f32_default = 0.0f;
  const char* text_default = nullptr;
};

constexpr Param required_matrix(const char* name) { return {name, Kind::Matrix, true}; }
constexpr Param required_u64(const char* name) { return {name, Kind::U64, true}; }
constexpr Param u64_param(const char* name, std::uint64_t def) {
  return {name, Kind::U64, false, def};
}
constexpr Param f32_param(const char* name, float def) { return {name, Kind::F32, false, 0, def}; }
constexpr Param text_param(const char* name, const char* def) {
  return {name, Kind::Text, false, 0, 0.0f, def};
}

// The parameters of a graph-index callable: `head`, then the build parameters in table order with
// beam_l (when `with_beam_l`) after alpha and n_jobs before seed, as the signatures list them.
template <std::size_t Head, bool WithBeamL>
constexpr auto graph_index_params(const std::array<Param, Head>& head) {
  constexpr std::size_t count = Head + orlim::kBuildParamCount + 1 + (WithBeamL ? 1 : 0);
  std::array<Param, count> out{};
  std::size_t i = 0;
  for (const Param& p : head) out[i++] = p;
  for (const orlim::BuildParamSpec& decl : orlim::kBuildParamSpecs) {
    const std::string_view name = decl.name;
    if (name == "seed") out[i++] = u64_param("n_jobs", 0);
    if (decl.type == orlim::ParamType::Real) {
      out[i++] = f32_param(decl.name, static_cast<float>(decl.default_value));
    } else {
      out[i++] = u64_param(decl.name, static_cast<std::uint64_t>(decl.default_value));
    }
    if (WithBeamL && name == "alpha") out[i++] = u64_param("beam_l", 64);
  }
  return out;
}

struct Signature {
  const char* display;  // as in messages: "build_and_self_knn()", "OrlimIndex.query()"
  std::span<const Param> params;
};

// A caller's 2-D float32 array, read in place for the duration of one call. Holds a reference to
// the array; never writes it.
struct ReadonlyMatrix {
  PyRef array;
  const char* base = nullptr;  // element (0, 0)
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t stride0 = 0;  // bytes between rows
  std::ptrdiff_t stride1 = 0;  // bytes between columns
  bool c_contiguous = false;
  bool aligned = false;

  // Row-major float values of the whole matrix, readable without the interpreter lock.
  bool readable_in_place() const { return c_contiguous && aligned; }
  std::span<const float> in_place() const {
    return {reinterpret_cast<const float*>(base), rows * cols};
  }
};

// Row-major copy of any layout.
std::vector<float> copy_row_major(const ReadonlyMatrix& m);

class Arguments {
 public:
  // Binds and converts; false with a Python exception set on the first failure.
  bool parse(const Signature& signature, PyObject* args, PyObject* kwargs);

  const ReadonlyMatrix& matrix(std::string_view name) const;
  std::uint64_t u64(std::string_view name) const;
  float f32(std::string_view name) const;
  const std::string& text(std::string_view name) const;

 private:
  struct Value {
    ReadonlyMatrix matrix;
    std::uint64_t u64 = 0;
    float f32 = 0.0f;
    std::string text;
  };
  const Value& find(std::string_view name) const;

  const Signature* signature_ = nullptr;
  std::vector<Value> values_;
};

// ValueError with `message` (any bytes, decoded as UTF-8 with replacement); returns nullptr.
PyObject* raise_value_error(const std::string& message);

// The checks every base or query matrix gets before work starts: at least one column, fewer than
// 2^32 rows, finite values. `values` are the matrix's row-major values. False with ValueError set.
bool check_matrix_values(const ReadonlyMatrix& m, std::span<const float> values, const char* name);

// The extent of the points every distance of a call is taken between, checked after
// check_matrix_values: squared distances that overflow float32 would turn every comparison into
// one between infinities. check_base_range sets `range` to what the base matrix x fills (its
// values for the Euclidean metric; the unit box for cosine, whose rows are normalized) and fails
// when the Euclidean x alone spans too much; check_query_range fails when queries, added to that
// range, lie too far from x. False with ValueError set.
bool check_base_range(std::span<const float> values, std::size_t cols, orlim::Metric metric,
                      orlim::ColumnRange& range);
bool check_query_range(const orlim::ColumnRange& base, std::span<const float> values);

}  // namespace orlim_py
