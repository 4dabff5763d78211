#include "container/stored_name.h"

namespace {

bool IsRefusedChar(unsigned char c) {
  return c < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '/' || c == '\\' || c == '|' || c == '?' ||
         c == '*';
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool SameLetters(const char* text, const char* upper, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (UpperAscii(text[i]) != upper[i]) return false;
  }
  return true;
}

// Windows maps COM and LPT followed by one digit, or by superscript one, two or three
// (code page 1252 bytes B9, B2, B3), to serial and parallel ports.
bool IsPortDigit(unsigned char c) { return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// The device is chosen by the part before the first dot, without its trailing spaces.
bool IsDeviceName(const char* text, int32_t length) {
  int32_t base = 0;
  while (base < length && text[base] != '.') ++base;
  while (base > 0 && text[base - 1] == ' ') --base;
  switch (base) {
    case 3:
      return SameLetters(text, "CON", 3) || SameLetters(text, "PRN", 3) || SameLetters(text, "AUX", 3) ||
             SameLetters(text, "NUL", 3);
    case 4:
      return (SameLetters(text, "COM", 3) || SameLetters(text, "LPT", 3)) &&
             IsPortDigit(static_cast<unsigned char>(text[3]));
    case 6:
      return SameLetters(text, "CONIN$", 6);
    case 7:
      return SameLetters(text, "CONOUT$", 7);
    default:
      return false;
  }
}

}  // namespace

bool IsStoredComponentAllowed(const char* text, int32_t length, LeadByteTest isLeadByte) {
  if (length <= 0) return false;
  for (int32_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (isLeadByte && isLeadByte(c)) {
      // A double-byte character: its trail byte may look like a backslash but is not one.
      if (i + 1 >= length || text[i + 1] == 0) return false;
      ++i;
    } else if (IsRefusedChar(c)) {
      return false;
    }
  }
  const char last = text[length - 1];
  return last != '.' && last != ' ' && !IsDeviceName(text, length);
}

bool IsSafeStoredName(const char* name, int32_t length, LeadByteTest isLeadByte) {
  if (length <= 0) return false;
  int32_t start = 0;
  for (int32_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (isLeadByte && isLeadByte(c) && i + 1 < length) {
      ++i;  // a trail byte is never a separator
    } else if (c == '\\') {
      if (!IsStoredComponentAllowed(name + start, i - start, isLeadByte)) return false;
      start = i + 1;
    }
  }
  return IsStoredComponentAllowed(name + start, length - start, isLeadByte);
}

namespace {

// Length of the UTF-8 sequence at `p` (at most `left` bytes), or 0 when it is not well formed.
int32_t Utf8SequenceLength(const unsigned char* p, int32_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  int32_t n = 0;
  uint32_t value = 0, least = 0;
  if (c >= 0xC2 && c <= 0xDF) n = 2, value = c & 0x1F, least = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, value = c & 0x0F, least = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, value = c & 0x07, least = 0x10000;
  else return 0;
  if (n > left) return 0;
  for (int32_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return n;
}

// COM and LPT with a superscript digit, which UTF-8 spells C2 B9, C2 B2, C2 B3.
bool IsUtf8PortName(const char* text, int32_t length) {
  int32_t base = 0;
  while (base < length && text[base] != '.') ++base;
  while (base > 0 && text[base - 1] == ' ') --base;
  if (base != 5 || !(SameLetters(text, "COM", 3) || SameLetters(text, "LPT", 3))) return false;
  const unsigned char a = static_cast<unsigned char>(text[3]), b = static_cast<unsigned char>(text[4]);
  return a == 0xC2 && (b == 0xB9 || b == 0xB2 || b == 0xB3);
}

}  // namespace

bool IsSafeUtf8Name(const char* name, int32_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
  for (int32_t i = 0; i < length;) {
    const int32_t n = Utf8SequenceLength(p + i, length - i);
    if (n == 0) return false;
    i += n;
  }
  if (!IsSafeStoredName(name, length, nullptr)) return false;
  int32_t start = 0;
  for (int32_t i = 0; i <= length; ++i) {
    if (i == length || name[i] == '\\') {
      if (IsUtf8PortName(name + start, i - start)) return false;
      start = i + 1;
    }
  }
  return true;
}
