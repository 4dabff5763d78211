#include "stub/stub_runtime.h"

#include "stub/stub_state.h"

extern "C" {
// The compiler turns struct zeroing and copies into calls of these two even with
// -fno-builtin; nothing else provides them in a program without a C runtime. The loops
// must not be recognised as memset/memcpy again, or they would call themselves.
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(void* dest, int value, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(dest);
  while (count--) *d++ = static_cast<unsigned char>(value);
  return dest;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(void* dest, const void* src, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(dest);
  const unsigned char* s = static_cast<const unsigned char*>(src);
  while (count--) *d++ = *s++;
  return dest;
}
}

void* StubAlloc(SIZE_T size) {
  void* p = HeapAlloc(GetProcessHeap(), 0, size);
  if (!p) QuitStub("Out of memory", ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

int32_t StrLen(const char* text) {
  int32_t n = 0;
  while (text[n]) ++n;
  return n;
}

static void StrReserve(StubString* s, int32_t needed) {
  if (needed < s->capacity) return;
  if (needed > 0x3FFFFFFF) QuitStub("Out of memory", ERROR_NOT_ENOUGH_MEMORY);
  int32_t capacity = s->capacity < 256 ? 256 : s->capacity;
  while (capacity <= needed) capacity *= 2;
  char* grown = static_cast<char*>(StubAlloc(capacity));
  for (int32_t i = 0; i < s->length; ++i) grown[i] = s->text[i];
  if (s->text) HeapFree(GetProcessHeap(), 0, s->text);
  s->text = grown;
  s->capacity = capacity;
}

void StrAppend(StubString* s, const char* bytes, int32_t count) {
  StrReserve(s, s->length + count);
  for (int32_t i = 0; i < count; ++i) s->text[s->length + i] = bytes[i];
  s->length += count;
  s->text[s->length] = 0;
}

void StrAppendZ(StubString* s, const char* text) { StrAppend(s, text, StrLen(text)); }

void StrAppendChar(StubString* s, char c) { StrAppend(s, &c, 1); }

void StrClear(StubString* s) {
  s->length = 0;
  if (s->text) s->text[0] = 0;
}

bool IsLeadByteAnsi(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }
