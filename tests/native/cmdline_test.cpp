#include <gtest/gtest.h>

#include "builder/cmdline.h"

namespace {

bool NoLeadBytes(unsigned char) { return false; }
bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::vector<std::string> Split(const std::string& line) { return SplitCommandLine(line, NoLeadBytes); }

CommandLine Parse(const std::string& line) { return CommandLine(Split(line), "C:\\bin\\kesdra.exe"); }

}  // namespace

TEST(SplitCommandLine, QuotesGroupAndAreDropped) {
  EXPECT_EQ(Split("kesdra.exe -o \"C:\\source dir\" setup.exe"),
            (std::vector<std::string>{"kesdra.exe", "-o", "C:\\source dir", "setup.exe"}));
  EXPECT_EQ(Split("p a\"b c\"d"), (std::vector<std::string>{"p", "ab cd"}));
}

TEST(SplitCommandLine, BackslashBeforeClosingQuoteIsOrdinary) {
  EXPECT_EQ(Split("p \"C:\\dir\\\" next"), (std::vector<std::string>{"p", "C:\\dir\\", "next"}));
}

TEST(SplitCommandLine, ControlCharactersSeparateAndEmptyPairsAreSkipped) {
  EXPECT_EQ(Split("\t p\x01one \"\" \"\"\"\"two  "), (std::vector<std::string>{"p", "one", "two"}));
}

TEST(SplitCommandLine, UnterminatedQuoteRunsToTheEnd) {
  EXPECT_EQ(Split("p \"a b"), (std::vector<std::string>{"p", "a b"}));
}

TEST(SplitCommandLine, DoubleByteCharactersAreNotSplit) {
  // 0x81 0x22 is one Shift-JIS character whose trail byte looks like a quote.
  const std::string line = std::string("p a\x81\x22") + "b c";
  EXPECT_EQ(SplitCommandLine(line, ShiftJisLead), (std::vector<std::string>{"p", "a\x81\x22" "b", "c"}));
}

TEST(CommandLine, SwitchesAreWholeArgumentsInEitherCaseAndPrefix) {
  const CommandLine cmd = Parse("k -O /c -oc --h -x /?");
  EXPECT_TRUE(cmd.HasSwitch('o'));
  EXPECT_TRUE(cmd.HasSwitch('c'));
  EXPECT_FALSE(cmd.HasSwitch('h'));
  EXPECT_EQ(cmd.NonSwitchParamCount(), 0);
}

TEST(CommandLine, SwitchesMayStandAnywhere) {
  const CommandLine a = Parse("k C:\\src -o setup.exe /C C:\\out.exe");
  const CommandLine b = Parse("k -o -c C:\\src setup.exe C:\\out.exe");
  for (const CommandLine* cmd : {&a, &b}) {
    EXPECT_TRUE(cmd->HasSwitch('o'));
    EXPECT_TRUE(cmd->HasSwitch('c'));
    EXPECT_EQ(cmd->NonSwitchParamCount(), 3);
    EXPECT_EQ(cmd->NonSwitchParamStr(1), "C:\\src");
    EXPECT_EQ(cmd->NonSwitchParamStr(2), "setup.exe");
    EXPECT_EQ(cmd->NonSwitchParamStr(3), "C:\\out.exe");
  }
}

TEST(CommandLine, PositionalEdges) {
  const CommandLine cmd = Parse("k \"-quoted\" one");
  EXPECT_EQ(cmd.NonSwitchParamCount(), 1);
  EXPECT_EQ(cmd.NonSwitchParamStr(0), "C:\\bin\\kesdra.exe");
  EXPECT_EQ(cmd.NonSwitchParamStr(1), "one");
  EXPECT_EQ(cmd.NonSwitchParamStr(2), "");
  EXPECT_EQ(cmd.NonSwitchParamStr(-1), "");
}

TEST(CommandLine, HelpExampleGivesThreePositionals) {
  const CommandLine cmd = Parse("kesdra -o \"C:\\sourcedir\" \"setup.exe\" \"C:\\targetfile.exe\"");
  EXPECT_TRUE(cmd.HasSwitch('o'));
  EXPECT_EQ(cmd.NonSwitchParamCount(), 3);
  EXPECT_EQ(cmd.NonSwitchParamStr(1), "C:\\sourcedir");
}

TEST(CommandLine, OnLinuxOnlyTheDashOpensASwitch) {
  const CommandLine cmd({"kesdra", "-o", "/home/me/src", "setup.exe", "/tmp/out.exe", "/c"}, "/usr/bin/kesdra", "-");
  EXPECT_TRUE(cmd.HasSwitch('o'));
  EXPECT_FALSE(cmd.HasSwitch('c'));
  EXPECT_EQ(cmd.NonSwitchParamCount(), 4);
  EXPECT_EQ(cmd.NonSwitchParamStr(1), "/home/me/src");
  EXPECT_EQ(cmd.NonSwitchParamStr(3), "/tmp/out.exe");
}
