// kesdra-petool: what the build asks of the Windows images it links, answered with pe/ (the
// one PE reader), so that no script parses PE headers or tool output of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_image.h"

// Moves a linked image's PE headers up behind its 64-byte DOS header, in place, so that a
// stub's headers and section table fit in one 512-byte file-alignment unit: the linker
// always writes a 64-byte DOS program between them, and the stub's headers then need two.
// Only the sections' raw data moves, each by the same whole number of alignment units; the
// checksum is computed anew. An image with nothing to gain is left as it is. Refuses (with
// the reason, the image untouched) symbols, a certificate, debug data, or bytes where the
// linker writes none: their file offsets would have to move too.
bool CompactHeaders(std::vector<uint8_t>* image, std::string* error);

// The facts the build checker (cmake/check_binary.cmake) rules on, one "key=value" line
// each; lists are separated by ";":
//   size, headers (SizeOfHeaders), machine and dll_characteristics (hexadecimal),
//   sections (names, long names read from the string table), imports (DLL names),
//   symbols (1: a COFF symbol table), debug (1: a debug directory).
bool DescribeImage(const pe::ByteSource& source, std::string* text, std::string* error);

// kesdra-petool compact|describe|machine <image>; prints errors with the path.
int RunPeTool(const std::vector<std::string>& args);
