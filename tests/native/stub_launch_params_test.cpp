// The stub's parameter hand-on, checked against the builder's own splitter on the same
// command lines: both must cut parameters alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder/cmdline.h"
#include "stub/launch_params.h"

namespace {

std::string LaunchParams(const std::string& line, bool (*isLeadByte)(unsigned char) = nullptr) {
  std::vector<char> out(LaunchParamsCapacity(static_cast<int32_t>(line.size())));
  BuildLaunchParams(line.c_str(), isLeadByte, out.data());
  return out.data();
}

bool NoLeadBytes(unsigned char) { return false; }
bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

TEST(LaunchParams, QuotesEveryParameterAfterTheProgramPath) {
  EXPECT_EQ(LaunchParams("sfx.exe a \"b c\""), " \"a\" \"b c\"");
  EXPECT_EQ(LaunchParams("\"C:\\My Files\\sfx.exe\" /s"), " \"/s\"");
  EXPECT_EQ(LaunchParams("sfx.exe"), "");
  EXPECT_EQ(LaunchParams("sfx.exe   "), "");
  EXPECT_EQ(LaunchParams(""), "");
}

TEST(LaunchParams, DropsEmbeddedQuotesAndLeadingQuotePairs) {
  EXPECT_EQ(LaunchParams("sfx.exe a\"b\"c"), " \"abc\"");
  EXPECT_EQ(LaunchParams("sfx.exe \"\"x"), " \"x\"");
  EXPECT_EQ(LaunchParams("sfx.exe \"\" y"), " \"y\"");  // an empty parameter cannot be passed on
  EXPECT_EQ(LaunchParams("sfx.exe \"a b"), " \"a b\"");  // an unclosed quote runs to the end
}

TEST(LaunchParams, ControlCharactersSeparate) {
  EXPECT_EQ(LaunchParams("sfx.exe\ta\nb\x01" "c"), " \"a\" \"b\" \"c\"");
}

TEST(LaunchParams, TrailingBackslashesAreDoubledBeforeTheClosingQuote) {
  EXPECT_EQ(LaunchParams("sfx.exe C:\\dir\\ next"), " \"C:\\dir\\\\\" \"next\"");
  EXPECT_EQ(LaunchParams("sfx.exe \"C:\\my dir\\\\\""), " \"C:\\my dir\\\\\\\\\"");
  EXPECT_EQ(LaunchParams("sfx.exe \\"), " \"\\\\\"");
  // Backslashes inside a parameter stay single.
  EXPECT_EQ(LaunchParams("sfx.exe a\\b\\c"), " \"a\\b\\c\"");
}

TEST(LaunchParams, DoubleByteCharactersAreSteppedOverWhole) {
  // 0x95 0x5C is one character: its trail byte is neither a separator nor a backslash to
  // double, and a quote after a lead byte belongs to the character.
  EXPECT_EQ(LaunchParams("sfx.exe \x95\x5C", ShiftJisLead), " \"\x95\x5C\"");
  EXPECT_EQ(LaunchParams("sfx.exe \x95\"x y", ShiftJisLead), " \"\x95\"x\" \"y\"");
  EXPECT_EQ(LaunchParams("sfx.exe \x95", ShiftJisLead), " \"\x95\"");
}

TEST(LaunchParams, CutsParametersLikeTheBuildersSplitter) {
  const char* lines[] = {
      "sfx.exe a b c",         "\"sfx.exe\" \"a b\" c",   "sfx.exe a\"b c\"d e",  "sfx.exe \"\"\"\" x",
      "sfx.exe  \t \"\" \"\"",  "x.exe \"unclosed tail",  "x.exe a\"\"b",         "x.exe -o /c \"C:\\x y\"",
      "x.exe \x01\x02z",        "\"\"x.exe a",            "x.exe \"\"\"a\"\"\"",
  };
  for (const char* line : lines) {
    const std::vector<std::string> args = SplitCommandLine(line, NoLeadBytes);
    std::string expected;
    for (size_t i = 1; i < args.size(); ++i) expected += " \"" + args[i] + "\"";
    EXPECT_EQ(LaunchParams(line), expected) << line;
  }
}

TEST(LaunchParams, CapacityCoversTheWorstCase) {
  // One-character parameters of backslashes grow the most: " \\" becomes ' "\\\\"'.
  std::string line = "x";
  for (int i = 0; i < 1000; ++i) line += " \\";
  const std::string params = LaunchParams(line);
  EXPECT_EQ(params.size(), 1000u * 5);
  EXPECT_LE(params.size() + 1, static_cast<size_t>(LaunchParamsCapacity(static_cast<int32_t>(line.size()))));
}

}  // namespace
