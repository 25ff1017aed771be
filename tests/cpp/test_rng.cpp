// The seeded generator against reference outputs of an independent implementation: any
// difference in the seed expansion, the block function, the refill boundary, the rejection zone
// or the shuffle order shows up as a wrong word, index or word count.
#include "orlim/base/rng.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "data/rng_golden.hpp"
#include "orlim/base/failure.hpp"

namespace orlim {
namespace {

std::string hex_key_bytes(const std::array<std::uint32_t, 8>& key) {
  std::string out;
  char byte[3];
  for (const std::uint32_t w : key) {
    for (int shift = 0; shift < 32; shift += 8) {
      std::snprintf(byte, sizeof byte, "%02x", (w >> shift) & 0xFFu);
      out += byte;
    }
  }
  return out;
}

TEST(Rng, KeystreamMatchesReference) {
  for (const auto& c : golden::kKeystream) {
    SCOPED_TRACE(testing::Message() << "seed " << std::hex << c.seed);
    Rng words(c.seed);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(words.key()[i], c.key[i]) << "key word " << i;
    EXPECT_EQ(hex_key_bytes(expand_seed(c.seed)), c.key_bytes);
    for (int i = 0; i < 80; ++i) ASSERT_EQ(words.next_u32(), c.words[i]) << "word " << i;
    EXPECT_EQ(words.words_drawn(), 80u);

    Rng pairs(c.seed);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(pairs.next_u64(), c.u64[i]) << "u64 draw " << i;

    // A 64-bit draw that straddles the refill takes the last word of one buffer and the first of
    // the next, skipping nothing.
    Rng straddle(c.seed);
    for (int i = 0; i < 63; ++i) straddle.next_u32();
    EXPECT_EQ(straddle.next_u64(), c.u64_after_63_u32);
    EXPECT_EQ(straddle.next_u32(), c.u32_after_that);
    EXPECT_EQ(straddle.words_drawn(), 66u);
  }
}

TEST(Rng, UniformIndexMatchesReferenceOnBothPaths) {
  for (const auto& c : golden::kUniformIndex) {
    SCOPED_TRACE(testing::Message() << "seed " << std::hex << c.seed << std::dec << " s " << c.s);
    Rng rng(c.seed);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(uniform_index(rng, c.s), c.indices[i]) << "draw " << i;
      EXPECT_EQ(rng.words_drawn(), c.words_consumed[i]) << "draw " << i;
    }
  }
}

TEST(Rng, EmptyIndexRangeIsAFailure) {
  Rng rng(1);
  EXPECT_THROW(uniform_index(rng, 0), Failure);
}

TEST(Rng, ShuffleMatchesReference) {
  for (const auto& c : golden::kShuffle) {
    SCOPED_TRACE(testing::Message()
                 << "seed " << std::hex << c.seed << std::dec << " len " << c.result.size());
    std::vector<std::uint32_t> items(c.result.size());
    std::iota(items.begin(), items.end(), 0u);
    Rng rng(c.seed);
    shuffle(std::span<std::uint32_t>(items), rng);
    EXPECT_EQ(items, c.result);
    EXPECT_EQ(rng.words_drawn(), c.words_consumed);
  }
}

TEST(Rng, ConsecutiveShufflesContinueTheStream) {
  for (const auto& c : golden::kConsecutiveShuffle) {
    SCOPED_TRACE(testing::Message() << "seed " << std::hex << c.seed);
    Rng rng(c.seed);
    for (int round = 0; round < 2; ++round) {
      std::vector<std::uint32_t> items(c.results[round].size());
      std::iota(items.begin(), items.end(), 0u);
      shuffle(std::span<std::uint32_t>(items), rng);
      EXPECT_EQ(items, c.results[round]) << "shuffle " << round;
      EXPECT_EQ(rng.words_drawn(), c.words_consumed_after_each[round]) << "shuffle " << round;
    }
  }
}

}  // namespace
}  // namespace orlim
