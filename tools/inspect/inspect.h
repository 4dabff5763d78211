// kesdra-inspect: looks into a produced file without running it. Portable; the command-line
// front end is inspect_main.cpp.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses: 0 success, 1 the file is damaged or cannot be read or unpacked, 2 usage.
constexpr int kInspectOk = 0;
constexpr int kInspectFailed = 1;
constexpr int kInspectUsage = 2;

// args without the program name: "list <file>", "verify <file>", "extract <file> [dir]".
int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
