// The two metrics and how an internal squared distance is reported to the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orlim {

enum class Metric : std::uint8_t { Euclidean = 0, Cosine = 1 };

// ASCII-case-insensitive: "l2", "euclidean", "euclidian" -> Euclidean; "cosine", "angular" ->
// Cosine; anything else (blanks are not trimmed) -> nullopt.
std::optional<Metric> parse_metric(std::string_view text);

// max(s, 0) (NaN -> 0), then sqrt for Euclidean, half for Cosine (1 - cosine similarity for unit
// vectors).
inline float reported_distance(float squared, Metric metric) {
  const float s = squared > 0.0f ? squared : 0.0f;
  return metric == Metric::Euclidean ? __builtin_sqrtf(s) : s * 0.5f;
}

}  // namespace orlim
