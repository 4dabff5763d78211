// Code page 1252 text for Linux builds: produced files store names as Windows ANSI text.
#pragma once

#include <string>

// Converts UTF-8 to code page 1252. False when the text is not valid UTF-8 or holds a
// character that code page 1252 cannot represent.
bool Utf8ToCp1252(const std::string& utf8, std::string* out);
std::string Cp1252ToUtf8(const std::string& ansi);
// Upper-casing as Windows does it for code page 1252 (a-z, the accented letters, š œ ž ÿ).
std::string Cp1252Upper(std::string text);
