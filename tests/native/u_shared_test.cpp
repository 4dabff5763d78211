#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "shared/u_packed.h"
#include "shared/u_shared.h"

// The standard check value: any reader elsewhere computes the same sum.
TEST(Crc32, StandardCheckValue) {
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(Crc32(0, "1234", 4), "56789", 5), 0xCBF43926u) << "continued over pieces";
}

// The vector path must agree with the plain definition at every length and alignment,
// including the tails that the 64- and 16-byte blocks leave over.
TEST(ByteSum, MatchesPlainSumAtEveryLengthAndOffsetModulo2To32) {
  std::mt19937 rng(7);
  std::vector<unsigned char> bytes(300);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  for (int offset = 0; offset < 16; ++offset) {
    for (int len = 0; len + offset <= 280; ++len) {
      uint32_t plain = 0;
      for (int i = 0; i < len; ++i) plain += bytes[offset + i];
      ASSERT_EQ(ByteSum(bytes.data() + offset, len), plain) << "offset " << offset << " length " << len;
    }
  }
  EXPECT_EQ(ByteSum("abc", -5), 0u) << "a negative count sums nothing";
  // 2^24 + 2^17 bytes of 0xFF sum to 255 * (2^24 + 2^17), which passes 2^32.
  std::vector<unsigned char> ff((1u << 24) + (1u << 17), 0xFF);
  const uint64_t exact = 255ull * ff.size();
  ASSERT_GT(exact, 0xFFFFFFFFull);
  EXPECT_EQ(ByteSum(ff.data(), static_cast<int32_t>(ff.size())), static_cast<uint32_t>(exact));
}
