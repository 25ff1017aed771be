// Point ids, (id, distance) pairs and the one ordering every sort and heap uses.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace orlim {

// Row number of a point; data sets are limited to 2^32 - 1 rows at the boundary.
using PointId = std::uint32_t;

inline constexpr PointId kNoPoint = std::numeric_limits<PointId>::max();

struct Neighbor {
  PointId id;
  float dist;  // squared Euclidean distance
};

// NaN sorts as +infinity so that garbage input can reorder results but never breaks a strict
// weak ordering.
inline float dist_key(float d) {
  return std::isnan(d) ? std::numeric_limits<float>::infinity() : d;
}

// Total order on neighbours: nearer first, equal distances by smaller id. A function object
// rather than a function, so that sorts and selections given `closer` inline the comparison
// instead of calling through a pointer.
struct Closer {
  bool operator()(const Neighbor& a, const Neighbor& b) const {
    const float da = dist_key(a.dist);
    const float db = dist_key(b.dist);
    if (da != db) return da < db;
    return a.id < b.id;
  }
};
inline constexpr Closer closer{};

}  // namespace orlim
