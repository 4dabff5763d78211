// The x86 branch converter: the 32-bit relative targets of CALL (E8) and JMP (E9) become
// absolute positions on the way in and relative again on the way out. One function repeats
// the same target in many places of a program, so absolute targets repeat too, and LZMA
// finds them. The classic "x86" branch filter, bit for bit: a stream converted here decodes
// with other implementations of it, and back.
// Compiled into the stub too: no C or C++ runtime.
#pragma once

#include <stdint.h>

struct X86Converter {
  uint32_t position = 0;    // of the next byte handed in, from the start of the stream
  uint32_t prevMask = 0;    // which of the last bytes were E8/E9 not converted
  uint32_t prevPos = 0u - 5;
};

// Converts `data[0..size)` in place (encode: relative to absolute; else back) and returns how
// many leading bytes are final. The rest, at most 4 bytes, must be handed in again at the
// front of the next piece; at the end of the stream they stay as they are.
int32_t ConvertX86(X86Converter* state, bool encode, unsigned char* data, int32_t size);
