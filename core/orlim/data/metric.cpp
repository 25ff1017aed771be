#include "orlim/data/metric.hpp"

#include <string>

namespace orlim {

std::optional<Metric> parse_metric(std::string_view text) {
  // Only ASCII letters fold; other bytes (UTF-8 included) are compared as given.
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (folded == "l2" || folded == "euclidean" || folded == "euclidian") return Metric::Euclidean;
  if (folded == "cosine" || folded == "angular") return Metric::Cosine;
  return std::nullopt;
}

}  // namespace orlim
