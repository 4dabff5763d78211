// The progress bar's arithmetic, kept apart from the drawing so it can be tested natively.
// The bar's inner rectangle runs from x = 16 to x = 304 (288 pixels).
#pragma once

#include <stdint.h>

constexpr int kBarLeft = 16;
constexpr int kBarWidth = 288;
constexpr int kBarTop = 60;
constexpr int kBarBottom = 80;
constexpr int kBarRight = kBarLeft + kBarWidth;

// DoneSize / TotalSize in single precision; 0 without a total. A file that changed under
// the stub could write more than the walk counted: the bar never runs past its end.
inline float ProgressFraction(int32_t done, int32_t total) {
  if (total <= 0 || done <= 0) return 0.0f;
  if (done >= total) return 1.0f;
  return static_cast<float>(static_cast<double>(done) / static_cast<double>(total));
}

// The label's number: the fraction in per cent, rounded to the nearest whole number.
inline int ProgressPercent(float fraction) { return static_cast<int>(static_cast<double>(fraction) * 100.0 + 0.5); }

// Right end of the filled part: truncated, so it reaches 304 only at a fraction of 1.
inline int ProgressBarEnd(float fraction) {
  return kBarLeft + static_cast<int>(static_cast<double>(fraction) * kBarWidth);
}

// "<n> %" into out (room for 8 bytes); returns the length.
inline int FormatPercentLabel(int percent, char* out) {
  char digits[4];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + percent % 10);
    percent /= 10;
  } while (percent != 0 && n < 3);
  int length = 0;
  while (n > 0) out[length++] = digits[--n];
  out[length++] = ' ';
  out[length++] = '%';
  out[length] = 0;
  return length;
}
