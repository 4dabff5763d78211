// Code page 1252 text for Linux builds: produced files store names as Windows ANSI text.
#pragma once

#include <string>

// Converts UTF-8 to code page 1252. False when the text is not valid UTF-8 or holds a
// character that code page 1252 cannot represent.
bool Utf8ToCp1252(const std::string& utf8, std::string* out);
std::string Cp1252ToUtf8(const std::string& ansi);
// Upper-casing as Windows does it for code page 1252 (a-z, the accented letters, š œ ž ÿ).
std::string Cp1252Upper(std::string text);
// The key by which NTFS orders the names of a folder: the UTF-16 code units of the name
// upper-cased, compared ordinally. Windows lists folders in this order, so sorting by it
// makes a Linux build list a tree as a Windows build of the same tree does.
std::u16string NtfsOrderKey(const std::string& ansi);
