// SizeToText's formatting: a byte count as fixed-point text with a unit, for the stub's
// free-space message. Portable and free of the C runtime (and of 64-bit division, which a
// 32-bit build would have to take from a library): every divisor is a power of two.
#pragma once

#include <stdint.h>

// Writes the text into `out` (room for 32 bytes) and terminates it. Units from 2^40 down:
// "TB" with 4 decimals, "GB" 3, "MB" 2, "kB" 1, "B" none; halves round away from zero.
inline void FormatSizeText(int64_t value, char decimalSeparator, char* out) {
  static const struct { int shift; int decimals; char unit[3]; } kUnits[] = {
      {40, 4, "TB"}, {30, 3, "GB"}, {20, 2, "MB"}, {10, 1, "kB"}, {0, 0, "B"}};
  const bool negative = value < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  int u = 0;
  while (kUnits[u].shift > 0 && magnitude < (static_cast<uint64_t>(1) << kUnits[u].shift)) ++u;
  const int shift = kUnits[u].shift;
  const int decimals = kUnits[u].decimals;
  uint32_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  // magnitude / 2^shift in units of 1/scale, rounded: the fraction part is below 2^40 and
  // scale at most 10^4, so the product stays far inside 64 bits.
  const uint64_t whole = magnitude >> shift;
  const uint64_t fraction = shift > 0 ? magnitude & ((static_cast<uint64_t>(1) << shift) - 1) : 0;
  // Both parts fit 32 bits (the whole part is below 2^24 in every unit), which keeps
  // 64-bit division out of the 32-bit build.
  uint32_t scaledFraction =
      shift > 0 ? static_cast<uint32_t>(((fraction * scale) + (static_cast<uint64_t>(1) << (shift - 1))) >> shift) : 0;
  uint32_t wholePart = static_cast<uint32_t>(whole);
  if (scaledFraction >= scale) {
    scaledFraction -= scale;
    ++wholePart;
  }
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + wholePart % 10);
    wholePart /= 10;
  } while (wholePart != 0);
  char* o = out;
  if (negative) *o++ = '-';
  while (n > 0) *o++ = digits[--n];
  if (decimals > 0) {
    *o++ = decimalSeparator;
    for (uint32_t d = scale / 10; d > 0; d /= 10) *o++ = static_cast<char>('0' + (scaledFraction / d) % 10);
  }
  *o++ = ' ';
  for (const char* c = kUnits[u].unit; *c; ++c) *o++ = *c;
  *o = 0;
}
