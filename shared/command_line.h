// The one rule by which a command line is cut into arguments, for the stub (which hands its
// parameters on) and the builder (which reads its own): characters 1..32 separate, a double
// quote opens or closes a quoted stretch and is dropped, a pair of quotes at the very start
// of an argument is skipped, and a backslash is an ordinary character. It works on the
// system's UTF-16 text, where no unit of a character outside the ASCII range can be taken for
// a quote or a blank. Runtime-free: the stub (no C runtime) compiles it too.
#pragma once

#include <stdint.h>

// Finds the argument that starts at or after `p` (a zero-terminated line). Writes its
// characters to `out` when `out` is not null (room: the rest of the line), sets `*length`,
// and returns where the argument ends; null when no argument is left.
template <typename Char>
const Char* NextArgument(const Char* p, Char* out, int32_t* length) {
  for (;;) {
    while (*p != 0 && *p <= 32) ++p;
    if (p[0] == '"' && p[1] == '"') {
      p += 2;
      continue;
    }
    break;
  }
  if (*p == 0) return nullptr;
  int32_t n = 0;
  bool quoted = false;
  for (; *p != 0 && (*p > 32 || quoted); ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else {
      if (out) out[n] = *p;
      ++n;
    }
  }
  *length = n;
  return p;
}
