// What a name stored in a produced file may be. One rule for everyone who meets such names:
// the builders refuse to store what the stub would refuse, the stub refuses before it
// writes, and kesdra-inspect refuses the same. Plain C-like code without library calls,
// because the stub (no C runtime) links it too.
#pragma once

#include <stdint.h>

typedef bool (*LeadByteTest)(unsigned char c);

// One path component in the stored (ANSI) form: not empty; no character below 32 and none
// of <>:"/\|?*; not ending in a dot or a space (Windows strips those, so the file made would
// not be the one named, and ".", ".." and "..." all end in a dot); and not a device name
// (CON, PRN, AUX, NUL, COM0-9, LPT0-9 with the superscripts 1-3, CONIN$, CONOUT$), in any
// case, with any extension and with spaces before the extension. Trail bytes of double-byte
// characters are stepped over when `isLeadByte` (may be null) says so.
bool IsStoredComponentAllowed(const char* text, int32_t length, LeadByteTest isLeadByte);

// A whole stored name the unpacker may append to its folder: a relative path of allowed
// components separated by single backslashes; so no drive, no root and no empty component.
bool IsSafeStoredName(const char* name, int32_t length, LeadByteTest isLeadByte);

// A name of a version 3 compressed payload, stored in UTF-8: well-formed (shortest forms, no
// surrogates, nothing above U+10FFFF) and, read as Unicode, under the same rules as above,
// the superscript port digits included.
bool IsSafeUtf8Name(const char* name, int32_t length);
