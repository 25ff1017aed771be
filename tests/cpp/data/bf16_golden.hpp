// Reference bfloat16 conversions produced with the Rust crate half 1.6.0 (bf16::from_f32 /
// to_f32 on bit patterns), independent of our code. Included by test_reservoir.cpp only;
// regenerate, never edit.
#pragma once

#include <cstdint>

namespace golden {

struct F32ToBf16 {
  std::uint32_t f32;
  std::uint16_t bf16;
  const char* note;
};

struct Bf16ToF32 {
  std::uint16_t bf16;
  std::uint32_t f32;
  const char* note;
};

inline const F32ToBf16 kF32ToBf16[] = {
    {0x00000000u, 0x0000u, "+0"},
    {0x80000000u, 0x8000u, "-0"},
    {0x3f800000u, 0x3f80u, "1.0, exact"},
    {0x3f808000u, 0x3f80u, "tie, lower neighbour 0x3f80 is even: stays"},
    {0x3f818000u, 0x3f82u, "tie, lower neighbour 0x3f81 is odd: rounds up to even"},
    {0x3f807fffu, 0x3f80u, "just below a tie: rounds down"},
    {0x3f808001u, 0x3f81u, "just above a tie (even lower neighbour): rounds up"},
    {0x3f817fffu, 0x3f81u, "just below a tie (odd lower neighbour): rounds down"},
    {0x3f818001u, 0x3f82u, "just above a tie (odd lower neighbour): rounds up"},
    {0x3f80ffffu, 0x3f81u, "largest low half: rounds up"},
    {0xbf808000u, 0xbf80u, "negative tie, even: stays (magnitude rounding)"},
    {0xbf818000u, 0xbf82u, "negative tie, odd: magnitude rounds up"},
    {0xbf808001u, 0xbf81u, "negative, just above a tie in magnitude"},
    {0xbf807fffu, 0xbf80u, "negative, just below a tie in magnitude"},
    {0x3f7fffffu, 0x3f80u, "just below 1.0: the carry goes into the exponent"},
    {0x3dcccccdu, 0x3dcdu, "0.1"},
    {0x40490fdbu, 0x4049u, "pi"},
    {0xc2f6e979u, 0xc2f7u, "-123.456"},
    {0x477fe000u, 0x4780u, "65504"},
    {0x7f7fffffu, 0x7f80u, "largest finite float32: rounds up to +inf"},
    {0xff7fffffu, 0xff80u, "most negative finite float32: rounds to -inf"},
    {0x7f7f8000u, 0x7f80u, "tie at the top, odd lower neighbour 0x7f7f: rounds up to +inf"},
    {0x7f7f7fffu, 0x7f7fu, "largest value that stays finite"},
    {0x7f7e8000u, 0x7f7eu, "tie near the top, even lower neighbour: stays finite"},
    {0xff7f8000u, 0xff80u, "negative tie at the top: -inf"},
    {0x7f800000u, 0x7f80u, "+inf"},
    {0xff800000u, 0xff80u, "-inf"},
    {0x00000001u, 0x0000u, "smallest subnormal: rounds to +0"},
    {0x80000001u, 0x8000u, "smallest negative subnormal: rounds to -0"},
    {0x00008000u, 0x0000u, "subnormal tie, even: rounds to +0"},
    {0x00008001u, 0x0001u, "subnormal just above a tie: smallest bf16 subnormal"},
    {0x00018000u, 0x0002u, "subnormal tie, odd: rounds up to even"},
    {0x80008001u, 0x8001u, "negative subnormal just above a tie"},
    {0x007fffffu, 0x0080u, "largest subnormal: rounds up to the smallest normal"},
    {0x00800000u, 0x0080u, "smallest normal"},
    {0x7fc00000u, 0x7fc0u, "quiet NaN"},
    {0xffc00000u, 0xffc0u, "negative quiet NaN"},
    {0x7fc08000u, 0x7fc0u, "quiet NaN with low payload bits: truncated, never rounded"},
    {0x7fc18001u, 0x7fc1u,
     "quiet NaN whose low half 0x8001 would round up: truncated to 0x7fc1, never rounded"},
    {0x7f800001u, 0x7fc0u,
     "signalling NaN with lowest payload: becomes quiet NaN 0x7fc0 (not inf)"},
    {0x7f80ffffu, 0x7fc0u,
     "signalling NaN with payload only in the low half: quiet NaN, not inf and not rounded"},
    {0x7fa00000u, 0x7fe0u, "signalling NaN: quiet bit set, payload kept"},
    {0x7f810000u, 0x7fc1u, "signalling NaN with payload 1 in the upper half: becomes 0x7fc1"},
    {0x7fbfffffu, 0x7fffu, "signalling NaN with full payload"},
    {0xff800001u, 0xffc0u, "negative signalling NaN"},
    {0xffa5a5a5u, 0xffe5u, "negative signalling NaN with mixed payload"},
    {0x7fffffffu, 0x7fffu, "NaN, all ones"},
    {0xffffffffu, 0xffffu, "negative NaN, all ones"},
};

inline const Bf16ToF32 kBf16ToF32[] = {
    {0x0000u, 0x00000000u, "+0"},
    {0x8000u, 0x80000000u, "-0"},
    {0x3f80u, 0x3f800000u, "1.0"},
    {0x4049u, 0x40490000u, "3.140625"},
    {0xc2f7u, 0xc2f70000u, "-123.5"},
    {0x7f7fu, 0x7f7f0000u, "largest finite bf16"},
    {0x0001u, 0x00010000u, "smallest subnormal"},
    {0x807fu, 0x807f0000u, "negative largest subnormal"},
    {0x0080u, 0x00800000u, "smallest normal"},
    {0x7f80u, 0x7f800000u, "+inf"},
    {0xff80u, 0xff800000u, "-inf"},
    {0x7fc0u, 0x7fc00000u, "quiet NaN"},
    {0xffc0u, 0xffc00000u, "negative quiet NaN"},
    {0x7f81u, 0x7fc10000u, "signalling NaN: quiet bit set on widening"},
    {0xff81u, 0xffc10000u, "negative signalling NaN"},
    {0x7fa0u, 0x7fe00000u, "signalling NaN with high payload bit"},
    {0x7fbfu, 0x7fff0000u, "signalling NaN with full payload"},
    {0x7fffu, 0x7fff0000u, "NaN, all ones"},
    {0xffc1u, 0xffc10000u, "negative quiet NaN with payload"},
};

}  // namespace golden
