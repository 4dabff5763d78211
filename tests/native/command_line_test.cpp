// The one command-line rule (shared/command_line.h), as the builder splits its own command
// line and as the stub hands its parameters on: one table of lines, both readings checked;
// then the builder's switches and positionals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder/cmdline.h"
#include "stub/launch_params.h"

namespace {

std::u16string LaunchParams(const std::u16string& line) {
  std::u16string out(LaunchParamsCapacity(static_cast<int32_t>(line.size())), u'\0');
  BuildLaunchParams(line.c_str(), &out[0]);
  return out.c_str();
}

struct Case {
  std::u16string line;
  std::vector<std::u16string> args;  // argument 0 first
  std::u16string params;             // what the stub hands on
};

TEST(CommandLineRule, SplitsAndHandsOnAlike) {
  const Case cases[] = {
      {u"kesdra.exe -o \"C:\\source dir\" setup.exe", {u"kesdra.exe", u"-o", u"C:\\source dir", u"setup.exe"},
       u" \"-o\" \"C:\\source dir\" \"setup.exe\""},
      // Quotes group and are dropped, also inside an argument; an unclosed one runs to the end.
      {u"p a\"b c\"d", {u"p", u"ab cd"}, u" \"ab cd\""},
      {u"p \"a b", {u"p", u"a b"}, u" \"a b\""},
      {u"\"C:\\My Files\\sfx.exe\" /s", {u"C:\\My Files\\sfx.exe", u"/s"}, u" \"/s\""},
      // A backslash is ordinary; trailing ones are doubled before the stub's closing quote,
      // where the program's own splitting would take them as escapes.
      {u"p \"C:\\dir\\\" next", {u"p", u"C:\\dir\\", u"next"}, u" \"C:\\dir\\\\\" \"next\""},
      {u"p \\ a\\b\\c", {u"p", u"\\", u"a\\b\\c"}, u" \"\\\\\" \"a\\b\\c\""},
      // Control characters separate; quote pairs in front of an argument are skipped, so an
      // empty argument cannot be passed on.
      {u"\t p\x01one \"\" \"\"\"\"two  ", {u"p", u"one", u"two"}, u" \"one\" \"two\""},
      {u"\"\"x.exe a\"\"b", {u"x.exe", u"ab"}, u" \"ab\""},
      {u"sfx.exe", {u"sfx.exe"}, u""},
      {u"", {}, u""},
      // Fullwidth quotes, letters outside any ANSI code page and a surrogate pair are
      // ordinary characters: nothing turns them into quotes or splits them.
      {u"s \uFF02one two\uFF02 \u0141\u00F3d\u017A \U0001F600", {u"s", u"\uFF02one", u"two\uFF02", u"\u0141\u00F3d\u017A", u"\U0001F600"},
       u" \"\uFF02one\" \"two\uFF02\" \"\u0141\u00F3d\u017A\" \"\U0001F600\""},
  };
  for (const Case& c : cases) {
    const std::string shown(c.line.begin(), c.line.end());
    EXPECT_EQ(SplitCommandLine(c.line), c.args) << shown;
    EXPECT_EQ(LaunchParams(c.line), c.params) << shown;
  }
}

TEST(CommandLineRule, ParamsCapacityCoversTheWorstCase) {
  // One-character parameters of backslashes grow the most: " \\" becomes ' "\\\\"'.
  std::u16string line = u"x";
  for (int i = 0; i < 1000; ++i) line += u" \\";
  const std::u16string params = LaunchParams(line);
  EXPECT_EQ(params.size(), 1000u * 5);
  EXPECT_LE(params.size() + 1, static_cast<size_t>(LaunchParamsCapacity(static_cast<int32_t>(line.size()))));
}

// ASCII command lines, through the one splitter.
CommandLine Parse(const std::string& line) {
  std::vector<std::string> args;
  for (const std::u16string& arg : SplitCommandLine(std::u16string(line.begin(), line.end())))
    args.emplace_back(arg.begin(), arg.end());
  return CommandLine(args, "C:\\bin\\kesdra.exe");
}

TEST(CommandLine, SwitchesAreWholeArgumentsInEitherCaseAndPrefix) {
  const CommandLine cmd = Parse("k -O /c -oc --h -x /?");
  EXPECT_TRUE(cmd.HasSwitch('o'));
  EXPECT_TRUE(cmd.HasSwitch('c'));
  EXPECT_FALSE(cmd.HasSwitch('h'));
  EXPECT_EQ(cmd.NonSwitchParamCount(), 0);
  // Quotes do not keep a dash from opening a switch; positionals past the last are empty.
  const CommandLine quoted = Parse("k \"-quoted\" one");
  EXPECT_EQ(quoted.NonSwitchParamCount(), 1);
  EXPECT_EQ(quoted.NonSwitchParamStr(0), "C:\\bin\\kesdra.exe");
  EXPECT_EQ(quoted.NonSwitchParamStr(1), "one");
  EXPECT_EQ(quoted.NonSwitchParamStr(2), "");
  EXPECT_EQ(quoted.NonSwitchParamStr(-1), "");
}

TEST(CommandLine, SwitchesMayStandAnywhere) {
  const CommandLine a = Parse("k C:\\src -o setup.exe /C C:\\out.exe");
  const CommandLine b = Parse("k -o -c C:\\src setup.exe C:\\out.exe");
  const CommandLine c = Parse("kesdra -o \"C:\\src\" \"setup.exe\" \"C:\\out.exe\" -c");  // the help's example
  for (const CommandLine* cmd : {&a, &b, &c}) {
    EXPECT_TRUE(cmd->HasSwitch('o'));
    EXPECT_TRUE(cmd->HasSwitch('c'));
    EXPECT_EQ(cmd->NonSwitchParamCount(), 3);
    EXPECT_EQ(cmd->NonSwitchParamStr(1), "C:\\src");
    EXPECT_EQ(cmd->NonSwitchParamStr(2), "setup.exe");
    EXPECT_EQ(cmd->NonSwitchParamStr(3), "C:\\out.exe");
  }
}

TEST(CommandLine, OnLinuxOnlyTheDashOpensASwitch) {
  const CommandLine cmd({"kesdra", "-o", "/home/me/src", "setup.exe", "/tmp/out.exe", "/c"}, "/usr/bin/kesdra", "-");
  EXPECT_TRUE(cmd.HasSwitch('o'));
  EXPECT_FALSE(cmd.HasSwitch('c'));
  EXPECT_EQ(cmd.NonSwitchParamCount(), 4);
  EXPECT_EQ(cmd.NonSwitchParamStr(1), "/home/me/src");
  EXPECT_EQ(cmd.NonSwitchParamStr(3), "/tmp/out.exe");
}

}  // namespace
