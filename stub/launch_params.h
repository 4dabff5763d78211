// LaunchParams: the stub's own parameters handed on to the launched program, each in
// double quotes, cut by the shared rule (shared/command_line.h). Argument 0 (the program
// path) is not handed on. Portable, so the native tests check the very body the stub runs.
#pragma once

#include <stdint.h>

#include "shared/command_line.h"

// Room LaunchParams may need for a command line of `length` units, terminating zero included:
// every parameter of n units (n >= 1) came with at least one separator or quote and becomes
// at most 2n + 3 units.
inline int32_t LaunchParamsCapacity(int32_t length) { return 3 * length + 8; }

// Writes ' "param"' for each parameter after the first into `out` and terminates it.
// Backslashes that end a parameter are doubled: before the closing quote they would
// otherwise escape it, and "C:\dir\" would reach the program as C:\dir" plus whatever follows.
template <typename Char>
void BuildLaunchParams(const Char* line, Char* out) {
  int32_t length = 0;
  line = NextArgument(line, static_cast<Char*>(nullptr), &length);
  while (line && (line = NextArgument(line, out + 2, &length)) != nullptr) {
    out[0] = ' ';
    out[1] = '"';
    out += 2 + length;
    int32_t trailing = 0;
    while (trailing < length && out[-1 - trailing] == '\\') ++trailing;
    while (trailing-- > 0) *out++ = '\\';
    *out++ = '"';
  }
  *out = 0;
}
