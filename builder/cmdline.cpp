#include "cmdline.h"

#include <cctype>

std::vector<std::string> SplitCommandLine(const std::string& line, bool (*isLeadByte)(unsigned char)) {
  std::vector<std::string> args;
  const size_t n = line.size();
  size_t i = 0;
  for (;;) {
    for (;;) {
      while (i < n && line[i] != '\0' && static_cast<unsigned char>(line[i]) <= 32) ++i;
      if (i + 1 < n && line[i] == '"' && line[i + 1] == '"') {
        i += 2;
        continue;
      }
      break;
    }
    if (i >= n || line[i] == '\0') break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      if (c == 0 || (c <= 32 && !quoted)) break;
      if (c == '"') {
        quoted = !quoted;
        ++i;
      } else if (isLeadByte(c) && i + 1 < n) {
        arg.append(line, i, 2);
        i += 2;
      } else {
        arg.push_back(static_cast<char>(c));
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
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
