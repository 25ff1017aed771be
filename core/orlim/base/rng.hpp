// The seeded random generator every randomized phase draws from, with its uniform index draw,
// its shuffle and the named seeds of each purpose.
//
// The stream is the ChaCha8 keystream (64-bit block counter from 0, stream number 0) keyed by a
// PCG32-style expansion of a 64-bit seed, read as little-endian 32-bit words; index draws and
// shuffles consume it in a fixed way, so a seed fixes every outcome on every platform. An Rng is
// plain mutable state: one generator serves one thread at a time, and nothing inside a parallel
// body may draw from a generator another task can see.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace orlim {

// Seeds by purpose. Run j of a build uses seed + j * kRunSeedStep (wrapping); the partitioner of a
// run XORs the run seed with its own constant, and so on, so that no two purposes share a stream.
inline constexpr std::uint64_t kRunSeedStep = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kCarvingSeedXor = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kHaloPivotSeedXor = 0xA5A55A5A12349876ull;
inline constexpr std::uint64_t kHnswLevelSeedXor = 0x484e5357ull;

// The seed of run `run` (0-based) of a build with base seed `seed`; run 0 uses the seed itself.
inline constexpr std::uint64_t run_seed(std::uint64_t seed, std::uint64_t run) {
  return seed + run * kRunSeedStep;  // unsigned arithmetic wraps modulo 2^64 by definition
}

// The eight 32-bit key words (the 32-byte key read little-endian) expanded from a 64-bit seed.
std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

class Rng {
 public:
  static constexpr std::size_t kBufferWords = 64;  // four 16-word ChaCha blocks per refill

  explicit Rng(std::uint64_t seed);

  std::uint32_t next_u32() {
    if (next_ == kBufferWords) refill();
    return buffer_[next_++];
  }

  // Two consecutive words, the first as the low half; a pair may straddle a refill.
  std::uint64_t next_u64() {
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return lo | (hi << 32);
  }

  // 32-bit words consumed since construction (tests use it to check where rejections happen).
  std::uint64_t words_drawn() const { return blocks_ * 16 - (kBufferWords - next_); }

  const std::array<std::uint32_t, 8>& key() const { return key_; }

 private:
  void refill();

  std::array<std::uint32_t, 8> key_;
  std::uint64_t blocks_ = 0;         // keystream blocks produced so far = counter of the next block
  std::size_t next_ = kBufferWords;  // position of the next unread word in buffer_
  std::array<std::uint32_t, kBufferWords> buffer_;
};

// Uniform index in [0, s) by widening multiply with rejection, on the 32-bit path (one word per
// attempt). Precondition: s >= 1.
inline std::uint32_t uniform_index32(Rng& rng, std::uint32_t s) {
  // Accepting low halves up to s shifted to the top bit, minus one, removes the bias without a
  // division; it rejects more often than the exact zone (up to half the time for powers of two).
  const std::uint32_t zone = (s << std::countl_zero(s)) - 1u;
  for (;;) {
    const std::uint64_t product = std::uint64_t{rng.next_u32()} * s;
    if (static_cast<std::uint32_t>(product) <= zone)
      return static_cast<std::uint32_t>(product >> 32);
  }
}

// The same method on 64-bit draws (two words per attempt) and a 128-bit product. Precondition:
// s >= 1.
std::uint64_t uniform_index64(Rng& rng, std::uint64_t s);

// Uniform index in [0, s): the 32-bit path when s fits in 32 bits, otherwise the 64-bit one.
// s = 0 is a broken invariant (Failure).
inline std::uint64_t uniform_index(Rng& rng, std::uint64_t s) {
  if (s - 1 < 0xFFFFFFFFull) return uniform_index32(rng, static_cast<std::uint32_t>(s));
  return uniform_index64(rng, s);  // also fails for s = 0
}

// Fisher-Yates from the back: for i = size-1 down to 1, swap items[i] with items[index in
// [0, i]]. Lists of length 0 or 1 draw nothing.
template <class T>
void shuffle(std::span<T> items, Rng& rng) {
  for (std::size_t i = items.size(); i > 1; --i) {
    const std::size_t j = static_cast<std::size_t>(uniform_index(rng, i));
    std::swap(items[i - 1], items[j]);
  }
}

}  // namespace orlim
