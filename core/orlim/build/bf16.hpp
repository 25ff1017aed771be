// bfloat16 (the upper half of a float32) as stored in reservoir slots. Pure functions.
#pragma once

#include <bit>
#include <cstdint>

namespace orlim {

// Round to nearest, ties to even. NaNs are truncated, never rounded (rounding could carry a NaN
// payload into the exponent and turn it into infinity), with the quiet bit forced on so that a
// signalling NaN whose payload lives in the dropped half stays a NaN.
inline std::uint16_t to_bf16(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7FFFFFFFu) > 0x7F800000u) {
    return static_cast<std::uint16_t>((bits >> 16) | 0x0040u);
  }
  // Round up when the dropped half is above one half ulp, or exactly one half and the kept
  // half is odd (bit 16).
  const std::uint32_t round_up = (bits & 0x8000u) != 0 && (bits & 0x17FFFu) != 0 ? 1u : 0u;
  return static_cast<std::uint16_t>((bits >> 16) + round_up);
}

// Exact widening; NaNs get the quiet bit.
inline float from_bf16(std::uint16_t half) {
  std::uint32_t h = half;
  if ((h & 0x7FFFu) > 0x7F80u) h |= 0x0040u;
  return std::bit_cast<float>(h << 16);
}

}  // namespace orlim
