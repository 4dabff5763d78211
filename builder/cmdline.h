// The builder's command line: argument splitting, switches and positional arguments.
#pragma once

#include <string>
#include <vector>

// Splits a full command line (the system's UTF-16 text) into arguments, argument 0 first, by
// the rule the stub hands its parameters on by (shared/command_line.h).
std::vector<std::u16string> SplitCommandLine(const std::u16string& line);

class CommandLine {
 public:
  // args[0] is the program's invocation; modulePath replaces it where argument 0 is asked for.
  // switchPrefixes are the characters that open a switch: "-/" on Windows; on Linux only "-",
  // since "/" opens every absolute path there.
  CommandLine(std::vector<std::string> args, std::string modulePath, std::string switchPrefixes = "-/");

  // True when some argument is a switch prefix followed by this letter, in either case.
  bool HasSwitch(char letter) const;
  // Arguments that do not begin with a switch prefix.
  int NonSwitchParamCount() const;
  // The n-th such argument, counted from 1; 0 gives the module path; empty when missing.
  std::string NonSwitchParamStr(int n) const;

 private:
  std::vector<std::string> args_;  // arguments 1..count, the count ending at the first empty one
  std::string modulePath_;
  std::string switchPrefixes_;

  bool IsSwitch(const std::string& arg) const;
};
