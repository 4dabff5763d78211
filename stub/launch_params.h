// LaunchParams: the stub's own parameters handed on to the launched program, each in
// double quotes. Portable and free of the C runtime so the stub and the native tests share
// one body.
//
// The command line is split as the stub always has: characters 1..32 separate, a double
// quote opens or closes a quoted stretch and is dropped, a pair of quotes at the very start
// of a parameter is skipped, double-byte characters are stepped over whole. Argument 0 (the
// program path) is not handed on.
#pragma once

#include <stdint.h>

// Room LaunchParams may need for a command line of `length` bytes, terminating zero included:
// every parameter of n bytes (n >= 1) came with at least one separator or quote and becomes
// at most 2n + 3 bytes.
inline int32_t LaunchParamsCapacity(int32_t length) { return 3 * length + 8; }

// Writes " \"param\"" for each parameter after the first into `out` and terminates it.
// Backslashes that end a parameter are doubled: before the closing quote they would
// otherwise escape it, and "C:\dir\" would reach the program as C:\dir" plus whatever follows.
inline void BuildLaunchParams(const char* line, bool (*isLeadByte)(unsigned char), char* out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
  char* o = out;
  for (int index = 0;; ++index) {
    for (;;) {
      while (*p != 0 && *p <= 32) ++p;
      if (p[0] == '"' && p[1] == '"') {
        p += 2;
        continue;
      }
      break;
    }
    if (*p == 0) break;
    char* plainTail = o + 2;  // backslashes before this are trail bytes of double-byte characters
    if (index > 0) {
      *o++ = ' ';
      *o++ = '"';
    }
    bool quoted = false;
    while (*p != 0 && (*p > 32 || quoted)) {
      if (*p == '"') {
        quoted = !quoted;
        ++p;
      } else if (isLeadByte && isLeadByte(*p) && p[1] != 0) {
        if (index > 0) {
          *o++ = static_cast<char>(p[0]);
          *o++ = static_cast<char>(p[1]);
          plainTail = o;
        }
        p += 2;
      } else {
        if (index > 0) *o++ = static_cast<char>(*p);
        ++p;
      }
    }
    if (index > 0) {
      // Trailing backslashes of a parameter, and only those, are doubled.
      char* q = o;
      while (q > plainTail && q[-1] == '\\') --q;
      for (int32_t trailing = static_cast<int32_t>(o - q); trailing > 0; --trailing) *o++ = '\\';
      *o++ = '"';
    }
  }
  *o = 0;
}
