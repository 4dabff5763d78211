#include "cmdline.h"

#include <cctype>

#include "shared/command_line.h"

std::vector<std::u16string> SplitCommandLine(const std::u16string& line) {
  std::vector<std::u16string> args;
  std::u16string arg(line.size(), u'\0');
  int32_t length = 0;
  for (const char16_t* p = line.c_str(); (p = NextArgument(p, &arg[0], &length)) != nullptr;)
    args.emplace_back(arg, 0, static_cast<size_t>(length));
  return args;
}

CommandLine::CommandLine(std::vector<std::string> args, std::string modulePath, std::string switchPrefixes)
    : modulePath_(std::move(modulePath)), switchPrefixes_(std::move(switchPrefixes)) {
  for (size_t i = 1; i < args.size() && !args[i].empty(); ++i) args_.push_back(std::move(args[i]));
}

bool CommandLine::IsSwitch(const std::string& arg) const {
  return !arg.empty() && switchPrefixes_.find(arg[0]) != std::string::npos;
}

bool CommandLine::HasSwitch(char letter) const {
  const int wanted = std::tolower(static_cast<unsigned char>(letter));
  for (const std::string& arg : args_) {
    if (IsSwitch(arg) && arg.size() == 2 && std::tolower(static_cast<unsigned char>(arg[1])) == wanted) return true;
  }
  return false;
}

int CommandLine::NonSwitchParamCount() const {
  int count = 0;
  for (const std::string& arg : args_) count += IsSwitch(arg) ? 0 : 1;
  return count;
}

std::string CommandLine::NonSwitchParamStr(int n) const {
  if (n == 0) return modulePath_;
  if (n < 0) return std::string();
  for (const std::string& arg : args_) {
    if (!IsSwitch(arg) && --n == 0) return arg;
  }
  return std::string();
}
