#include "stub/stub_runtime.h"

#include "stub/stub_state.h"

void* StubAlloc(SIZE_T size) {
  void* p = HeapAlloc(GetProcessHeap(), 0, size);
  if (!p) QuitStub(L"Out of memory", ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

int32_t StrLen(const char* text) {
  int32_t n = 0;
  while (text[n]) ++n;
  return n;
}

int32_t StrLen(const wchar_t* text) {
  int32_t n = 0;
  while (text[n]) ++n;
  return n;
}

static void StrReserve(StubString* s, int32_t needed) {
  if (needed < s->capacity) return;
  if (needed > 0x1FFFFFFF) QuitStub(L"Out of memory", ERROR_NOT_ENOUGH_MEMORY);
  int32_t capacity = s->capacity < 256 ? 256 : s->capacity;
  while (capacity <= needed) capacity *= 2;
  wchar_t* grown = static_cast<wchar_t*>(StubAlloc(capacity * sizeof(wchar_t)));
  for (int32_t i = 0; i < s->length; ++i) grown[i] = s->text[i];
  if (s->text) HeapFree(GetProcessHeap(), 0, s->text);
  s->text = grown;
  s->capacity = capacity;
}

void StrAppend(StubString* s, const wchar_t* units, int32_t count) {
  StrReserve(s, s->length + count);
  for (int32_t i = 0; i < count; ++i) s->text[s->length + i] = units[i];
  s->length += count;
  s->text[s->length] = 0;
}

void StrAppendZ(StubString* s, const wchar_t* text) { StrAppend(s, text, StrLen(text)); }

void StrAppendChar(StubString* s, wchar_t c) { StrAppend(s, &c, 1); }

void StrAppendAscii(StubString* s, const char* text) {
  while (*text) StrAppendChar(s, static_cast<unsigned char>(*text++));
}

void StrClear(StubString* s) {
  s->length = 0;
  if (s->text) s->text[0] = 0;
}

// Volatile, so that this loop is not itself turned back into a call of memcpy.
extern "C" void* StubCopyBytes(void* to, const void* from, size_t count) {
  volatile unsigned char* out = static_cast<volatile unsigned char*>(to);
  const unsigned char* in = static_cast<const unsigned char*>(from);
  while (count--) *out++ = *in++;
  return to;
}
