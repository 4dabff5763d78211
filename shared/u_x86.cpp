#include "shared/u_x86.h"

namespace {

// A target's high byte: the converter only touches targets within 16 MiB either way.
inline bool IsNearTarget(unsigned char b) { return b == 0 || b == 0xFF; }

}  // namespace

int32_t ConvertX86(X86Converter* state, bool encode, unsigned char* data, int32_t size) {
  // Bit n of kAllowed: whether a mark with the earlier-byte pattern n may be converted.
  constexpr unsigned kAllowed = 0x17;
  static const uint8_t kBitNumber[8] = {0, 1, 2, 2, 3, 3, 3, 3};
  if (size < 5) return 0;
  const uint32_t now = state->position;
  uint32_t mask = state->prevMask;
  uint32_t prevPos = state->prevPos;
  if (now - prevPos > 5) prevPos = now - 5;
  const int32_t limit = size - 5;
  int32_t i = 0;
  while (i <= limit) {
    unsigned char b = data[i];
    if (b != 0xE8 && b != 0xE9) {
      ++i;
      continue;
    }
    const uint32_t distance = now + static_cast<uint32_t>(i) - prevPos;
    prevPos = now + static_cast<uint32_t>(i);
    if (distance > 5) {
      mask = 0;
    } else {
      for (uint32_t k = 0; k < distance; ++k) mask = (mask & 0x77) << 1;
    }
    b = data[i + 4];
    if (IsNearTarget(b) && (kAllowed >> ((mask >> 1) & 7) & 1) && (mask >> 1) < 0x10) {
      uint32_t src = static_cast<uint32_t>(b) << 24 | static_cast<uint32_t>(data[i + 3]) << 16 |
                     static_cast<uint32_t>(data[i + 2]) << 8 | data[i + 1];
      uint32_t dest;
      for (;;) {
        const uint32_t at = now + static_cast<uint32_t>(i) + 5;
        dest = encode ? src + at : src - at;
        if (mask == 0) break;
        const unsigned bit = kBitNumber[mask >> 1];
        if (!IsNearTarget(static_cast<unsigned char>(dest >> (24 - bit * 8)))) break;
        src = dest ^ ((1u << (32 - bit * 8)) - 1);
      }
      data[i + 4] = static_cast<unsigned char>(~(((dest >> 24) & 1) - 1));
      data[i + 3] = static_cast<unsigned char>(dest >> 16);
      data[i + 2] = static_cast<unsigned char>(dest >> 8);
      data[i + 1] = static_cast<unsigned char>(dest);
      i += 5;
      mask = 0;
    } else {
      ++i;
      mask |= 1;
      if (IsNearTarget(b)) mask |= 0x10;
    }
  }
  state->position = now + static_cast<uint32_t>(i);
  state->prevMask = mask;
  state->prevPos = prevPos;
  return i;
}
