#include "cp1252.h"

#include "platform/fs.h"

#include <cstdint>

namespace {

// Unicode code points of bytes 0x80..0x9F; 0 marks the five bytes the code page leaves undefined.
const uint16_t kHighControls[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

bool CodePointToCp1252(uint32_t cp, char* out) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
    *out = static_cast<char>(cp);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] != 0 && kHighControls[i] == cp) {
      *out = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

// Decodes one UTF-8 sequence at s[i]; advances i. False on malformed or overlong input.
bool DecodeUtf8(const std::string& s, size_t& i, uint32_t* cp) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  int extra;
  uint32_t value;
  if (c < 0x80) { *cp = c; ++i; return true; }
  if ((c & 0xE0) == 0xC0) { extra = 1; value = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { extra = 2; value = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { extra = 3; value = c & 0x07; }
  else return false;
  if (i + extra >= s.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    const unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return false;
    value = (value << 6) | (t & 0x3F);
  }
  static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
  if (value < kMin[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  i += extra + 1;
  *cp = value;
  return true;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

bool Utf8ToCp1252(const std::string& utf8, std::string* out) {
  std::string result;
  result.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp;
    char c;
    if (!DecodeUtf8(utf8, i, &cp) || !CodePointToCp1252(cp, &c)) return false;
    result.push_back(c);
  }
  *out = std::move(result);
  return true;
}

std::string Cp1252ToUtf8(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (unsigned char c : ansi) {
    uint32_t cp = c;
    if (c >= 0x80 && c < 0xA0) cp = kHighControls[c - 0x80] ? kHighControls[c - 0x80] : c;
    AppendUtf8(cp, &out);
  }
  return out;
}

std::string Cp1252Upper(std::string text) {
  for (char& ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) ch = static_cast<char>(c - 0x20);
    else if (c == 0x9A || c == 0x9C || c == 0x9E) ch = static_cast<char>(c - 0x10);
    else if (c == 0xFF) ch = static_cast<char>(0x9F);
  }
  return text;
}

std::u16string NtfsOrderKey(const std::string& ansi) {
  std::u16string key;
  key.reserve(ansi.size());
  for (unsigned char c : Cp1252Upper(ansi)) {
    uint32_t cp = c;
    if (c >= 0x80 && c < 0xA0) cp = kHighControls[c - 0x80] ? kHighControls[c - 0x80] : c;
    if (c == 0xB5) cp = 0x039C;  // the file system upper-cases the micro sign to Greek capital mu
    key.push_back(static_cast<char16_t>(cp));
  }
  return key;
}

unsigned AnsiCodePage() { return 1252; }
