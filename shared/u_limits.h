// u_limits: the size limits every part of the system applies to a produced file.
// Compiled into the stub too: no C or C++ runtime.
#pragma once

#include <stdint.h>

// Counts, sizes and positions in a produced file are signed 32-bit: the file, and every
// file it carries, must stay below 2 GiB.
constexpr int64_t kLargestContainer = 2147483647;
