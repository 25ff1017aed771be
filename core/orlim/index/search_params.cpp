#include "orlim/index/search_params.hpp"

namespace orlim {

QueryMode parse_query_mode(std::string_view text) {
  if (text == "warm") return QueryMode::Warm;
  if (text == "reservoir") return QueryMode::Reservoir;
  return QueryMode::Beam;
}

}  // namespace orlim
