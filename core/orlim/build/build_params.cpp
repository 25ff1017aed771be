#include "orlim/build/build_params.hpp"

#include <cmath>
#include <cstdio>
#include <type_traits>

namespace orlim {

namespace {

std::string shown(double value, ParamType type) {
  char text[64];
  std::snprintf(text, sizeof text, type == ParamType::Real ? "%.9g" : "%.0f", value);
  return text;
}

}  // namespace

std::string build_params_error(const BuildParams& params) {
  std::string error;
  for_each_build_param(params, [&](const BuildParamSpec& decl, const auto& field) {
    if (!error.empty()) return;
    const double value = static_cast<double>(field);
    if (std::isfinite(value) && value >= decl.min && value <= decl.max) return;
    error = std::string(decl.name) + " must be ";
    if (decl.max == kUnbounded) {
      error += "at least " + shown(decl.min, decl.type);
    } else {
      error += "between " + shown(decl.min, decl.type) + " and " + shown(decl.max, decl.type);
    }
    if constexpr (std::is_integral_v<std::decay_t<decltype(field)>>) {
      error += ", got " + std::to_string(field);
    } else {
      error += ", got " + shown(value, decl.type);
    }
  });
  return error;
}

}  // namespace orlim
