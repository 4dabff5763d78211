// The little the stub needs that a C runtime would otherwise give: a growable string of the
// system's UTF-16 text on the process heap. There is deliberately no memcpy or memset: a
// copy or zeroing that the compiler turns into such a call then fails the link instead of
// slipping in.
#pragma once

#include <windows.h>

#include <stdint.h>

// A zero-terminated UTF-16 string on the process heap; length in units, without the zero.
struct StubString {
  wchar_t* text;
  int32_t length;
  int32_t capacity;
};

void StrAppend(StubString* s, const wchar_t* units, int32_t count);
void StrAppendZ(StubString* s, const wchar_t* text);
void StrAppendChar(StubString* s, wchar_t c);
// ASCII text (the stub's own fixed texts and numbers), widened unit by unit.
void StrAppendAscii(StubString* s, const char* text);
void StrClear(StubString* s);
int32_t StrLen(const char* text);
int32_t StrLen(const wchar_t* text);

// A plain byte copy where one is meant (the LZMA decoder's memcpy is routed here too, see
// stub.cmake); the stub has no memcpy of its own.
extern "C" void* StubCopyBytes(void* to, const void* from, size_t count);

// Heap memory that never comes back null: running out ends the stub through QuitStub.
void* StubAlloc(SIZE_T size);

// Upper-cases a to z only.
inline wchar_t UpperAscii(wchar_t c) { return (c >= 'a' && c <= 'z') ? static_cast<wchar_t>(c - 32) : c; }

