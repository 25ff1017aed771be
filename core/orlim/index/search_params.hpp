// What a search is asked for, as one record: the neighbour count, the beam width and, for the
// self-kNN of the indexed points, where each search starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orlim {

enum class QueryMode : std::uint8_t {
  Beam,       // beam search from the point itself
  Warm,       // also from the candidates the build retained for the point
  Reservoir,  // no search: the retained candidates and their graph neighbourhood, ranked exactly
};

// "warm" and "reservoir" (exactly, case-sensitive); anything else is Beam.
QueryMode parse_query_mode(std::string_view text);

struct SearchParams {
  std::size_t k = 10;       // neighbours per row
  std::size_t beam_l = 64;  // beam width (at least the row width is used)
  QueryMode mode = QueryMode::Beam;
};

}  // namespace orlim
