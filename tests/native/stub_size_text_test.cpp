// SizeToText's formatting for the stub's free-space line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "stub/size_text.h"

namespace {

std::string SizeText(int64_t value, char separator = '.') {
  char out[32];
  FormatSizeText(value, separator, out);
  return out;
}

// The unit by magnitude, a failed query as minus one byte, the locale's decimal separator.
TEST(SizeToText, PicksTheUnitByMagnitude) {
  EXPECT_EQ(SizeText(0), "0 B");
  EXPECT_EQ(SizeText(1023), "1023 B");
  EXPECT_EQ(SizeText(1024), "1.0 kB");
  EXPECT_EQ(SizeText(1048575), "1024.0 kB");  // 1023.999 kB rounds up but stays in kB
  EXPECT_EQ(SizeText(1048576), "1.00 MB");
  EXPECT_EQ(SizeText(1572864), "1.50 MB");
  EXPECT_EQ(SizeText(3407872), "3.25 MB");
  EXPECT_EQ(SizeText(1073741824), "1.000 GB");
  EXPECT_EQ(SizeText(2147483647), "2.000 GB");
  EXPECT_EQ(SizeText(int64_t{1} << 40), "1.0000 TB");
  EXPECT_EQ(SizeText(INT64_MAX), "8388608.0000 TB");
  EXPECT_EQ(SizeText(-1), "-1 B") << "a failed query";
  EXPECT_EQ(SizeText(-1536), "-1.5 kB");
  EXPECT_EQ(SizeText(1572864, ','), "1,50 MB") << "the locale's decimal separator";
}

TEST(SizeToText, AgreesWithPrintfWhereNoHalfIsRounded) {
  // Values whose quotient is not exactly halfway between two printed values.
  const int64_t values[] = {1100, 5000, 123456, 999999, 7340032 + 12345, 3000000000LL, 5000000000000LL, 1234567};
  const struct { int shift; const char* format; } units[] = {
      {40, "%1.4f TB"}, {30, "%1.3f GB"}, {20, "%1.2f MB"}, {10, "%1.1f kB"}};
  for (int64_t v : values) {
    char expected[64];
    for (const auto& u : units) {
      if (v >= (int64_t{1} << u.shift)) {
        std::snprintf(expected, sizeof expected, u.format, static_cast<double>(v) / static_cast<double>(int64_t{1} << u.shift));
        break;
      }
    }
    EXPECT_EQ(SizeText(v), expected) << v;
  }
}

}  // namespace
