// The build parameters, declared once: each row of ORLIM_BUILD_PARAMS gives a name, the field's
// type, its default, the range a checked caller accepts and a one-line description. The record,
// the range check, the bindings' signature tables and the Python package's keyword handling are
// all made from this table, so adding a parameter means adding one row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <iterator>
#include <string>
#include <type_traits>

#include "orlim/data/metric.hpp"

namespace orlim {

inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();
// Upper bounds that keep the per-point buffers (n * l_max reservoir slots, n * r edges) from size
// overflow or an allocation no machine can satisfy, and leaves within BLAS's 32-bit sizes.
inline constexpr double kMaxWidth = 65536;
inline constexpr double kMaxLeaf = 2147483647;

// X(name, type, default, min, max, doc)
#define ORLIM_BUILD_PARAMS(X)                                                                   \
  X(m, std::size_t, 12, 1, 16, "hyperplanes per direction code of the candidate reservoirs")    \
  X(l_max, std::size_t, 64, 1, kMaxWidth, "candidates each point collects before pruning")     \
  X(r, std::size_t, 64, 1, kMaxWidth, "most edges a point keeps in the graph")                 \
  X(alpha, float, 1.2, 1, kUnbounded, "pruning slack: larger keeps more long edges")            \
  X(fanout, std::size_t, 2, 1, 1024, "leaves each point belongs to after the halo step")  \
  X(c_min, std::size_t, 256, 0, kMaxLeaf, "carried with the parameters; no phase reads it")   \
  X(c_max, std::size_t, 2048, 1, kMaxLeaf, "most points per leaf before the halo step")       \
  X(runs, std::size_t, 1, 1, 1024, "independent partitions whose candidates are merged") \
  X(seed, std::uint64_t, 0, 0, kUnbounded, "seed of the randomized build")

struct BuildParams {
#define ORLIM_PARAM_FIELD(name, type, def, lo, hi, doc) type name = def;
  ORLIM_BUILD_PARAMS(ORLIM_PARAM_FIELD)
#undef ORLIM_PARAM_FIELD
  Metric metric = Metric::Euclidean;  // carried; the Dataset already holds its preprocessing
};

enum class ParamType : std::uint8_t { Count, Real, Seed };

template <class T>
constexpr ParamType param_type_of() {
  if constexpr (std::is_same_v<T, float>) {
    return ParamType::Real;
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return ParamType::Seed;
  } else {
    return ParamType::Count;
  }
}

struct BuildParamSpec {
  const char* name;
  ParamType type;
  double default_value;
  double min;  // inclusive bounds of a checked value
  double max;
  const char* doc;
};

inline constexpr BuildParamSpec kBuildParamSpecs[] = {
#define ORLIM_PARAM_SPEC(name, type, def, lo, hi, doc) \
  {#name, param_type_of<type>(), def, lo, hi, doc},
    ORLIM_BUILD_PARAMS(ORLIM_PARAM_SPEC)
#undef ORLIM_PARAM_SPEC
};
inline constexpr std::size_t kBuildParamCount = std::size(kBuildParamSpecs);

// Calls f(decl, field) for every parameter in table order, the field as a reference into
// `params` (const or not, as `params` is).
template <class Params, class F>
void for_each_build_param(Params& params, F&& f) {
  std::size_t i = 0;
#define ORLIM_PARAM_VISIT(name, type, def, lo, hi, doc) f(kBuildParamSpecs[i++], params.name);
  ORLIM_BUILD_PARAMS(ORLIM_PARAM_VISIT)
#undef ORLIM_PARAM_VISIT
}

// Empty when every parameter lies in its range (and alpha is finite); otherwise a message
// naming the first one that does not, e.g. "m must be between 1 and 16, got 17".
std::string build_params_error(const BuildParams& params);

}  // namespace orlim
