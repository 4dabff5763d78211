#include <gtest/gtest.h>

#include "builder/cmdline.h"

namespace {

// ASCII command lines, through the one splitter.
CommandLine Parse(const std::string& line) {
  std::vector<std::string> args;
  for (const std::u16string& arg : SplitCommandLine(std::u16string(line.begin(), line.end())))
    args.emplace_back(arg.begin(), arg.end());
  return CommandLine(args, "C:\\bin\\kesdra.exe");
}

}  // namespace

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
