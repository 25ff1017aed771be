#include "orlim/base/rng.hpp"

#include "orlim/base/failure.hpp"

namespace orlim {
namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

inline void quarter_round(std::uint32_t* s, int a, int b, int c, int d) {
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 12);
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 7);
}

// One 64-byte ChaCha8 block as 16 words: "expand 32-byte k", the key, the 64-bit block counter in
// words 12-13 and a zero stream number in words 14-15.
void chacha8_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                   std::uint32_t* out) {
  std::uint32_t input[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = 0;
  input[15] = 0;
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int round = 0; round < 8; round += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

}  // namespace

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 0x5851F42D4C957F2Dull;
  constexpr std::uint64_t kInc = 0xA17654E46FBE17F3ull;
  std::array<std::uint32_t, 8> words{};
  std::uint64_t state = seed;
  for (auto& w : words) {
    state = state * kMul + kInc;
    const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    w = std::rotr(x, static_cast<int>(state >> 59));
  }
  return words;
}

Rng::Rng(std::uint64_t seed) : key_(expand_seed(seed)) {}

void Rng::refill() {
  for (std::size_t b = 0; b < kBufferWords / 16; ++b) {
    chacha8_block(key_, blocks_ + b, buffer_.data() + 16 * b);
  }
  blocks_ += kBufferWords / 16;
  next_ = 0;
}

std::uint64_t uniform_index64(Rng& rng, std::uint64_t s) {
  if (s == 0) fail("uniform_index: empty range");
  const std::uint64_t zone = (s << std::countl_zero(s)) - 1u;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * s;
    if (static_cast<std::uint64_t>(product) <= zone)
      return static_cast<std::uint64_t>(product >> 64);
  }
}

}  // namespace orlim
