// Reference hyperplane entries: the generator draws come from rand_chacha 0.3.1, the rest of the
// formula was evaluated in float32 with glibc 2.36 logf/cosf on x86_64. Included by
// test_hyperplanes.cpp only; regenerate, never edit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace golden {

// An entry that differs when logf/cosf are correctly rounded instead of glibc's.
struct LibmAlternative {
  std::size_t index;
  std::uint32_t entry;
};

struct HyperplaneCase {
  std::size_t m;
  std::size_t d;
  std::uint64_t seed;
  std::vector<std::uint32_t> entries;  // m * d float32 bit patterns, row-major
  std::vector<LibmAlternative> alternatives;
};

inline const HyperplaneCase kHyperplanes[] = {
    {4,
     5,
     0x0000000000000000ull,
     {
         0xbe6fb0e7u, 0xbf4684bfu, 0xbebb5c8du, 0x3f7fd3d9u, 0x3fa7bd00u, 0xbf7e587fu, 0x3f21b6d4u,
         0x3f12920fu, 0x3ec98204u, 0x3e8425eeu, 0x3f5dc0eau, 0x3d599bf7u, 0xbf9744f8u, 0xbf173724u,
         0x3e63dcebu, 0xbf276f4eu, 0x3f67cbf9u, 0xbe02a0f2u, 0xbf3c6f78u, 0x3f4f7f6eu,
     },
     {}},
    {12,
     3,
     0x0000000000000007ull,
     {
         0x3f8af551u, 0x3f68d9bfu, 0xbeeabd75u, 0xbec02854u, 0xbfecb2a6u, 0xbed242dcu,
         0x3fbae8b0u, 0x3f7703d6u, 0xbf713311u, 0x3f97de5fu, 0x3ec54815u, 0xbf158660u,
         0xbf8c1966u, 0xbcaf4925u, 0xbf9f5053u, 0xbfd24cf0u, 0xbe572943u, 0x3e345722u,
         0xbec8bde7u, 0x3f19bf7eu, 0xbfb9ae8au, 0x3f3339c2u, 0x3fab5f32u, 0x4006566fu,
         0xbe604d6cu, 0xbf8c84bbu, 0x3fa53f5fu, 0x3f1e0339u, 0x3f96e429u, 0x3f876c67u,
         0xbf0fee97u, 0xbf93990du, 0xbe5b7debu, 0xbf368ed9u, 0xbff5aa3eu, 0xbfbe185cu,
     },
     {{17, 0x3e345721u}}},
};

}  // namespace golden
