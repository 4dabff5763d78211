// The compressed payload writer (layout in shared/u_packed.h): the same entries as the stored
// payload, grouped into streams: files that would not shrink (kept as they are), programs of
// x86 code (through the branch converter where a trial shows it pays) and the rest, each
// group solid and split in about equal parts at file boundaries when large. Within a group
// the files stand by extension, each extension's files in the listing's order (the tree in
// pre-order, each folder as Windows lists it); copy entries and the end record close the
// last stream. The streams are encoded on
// several threads; which streams there are and how each is coded follows from the tree
// alone, so the bytes do not depend on the number of cores, and the Linux and the Windows
// builder write the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "builder/entry_stream.h"
#include "builder/source_tree.h"
#include "platform/fs.h"
#include "shared/u_shared.h"

// The encoder's settings; the unpacker's limits in u_packed.h must admit them. Measured on
// 50 MB of Wine's 32-bit DLLs: 64 fast bytes 2 % smaller than 32 for about 15 % more time;
// level 4 (fast mode) 16 % larger. A 64 MiB dictionary rather than 32: 25 % smaller on 214 MB
// of a cross compiler's programs (front ends of 30 MB each that share most of their code),
// 0.1 % on 100 MB of Wine's DLLs; two encoders of 64 MiB (about 11.5 times the dictionary
// each) do not fit the builder's memory budget together, so large streams are encoded one
// after the other. Position bits pb 0 rather than 2: 0.4 % smaller on 100 MB of the DLLs
// (most of their bytes are debugging data, not code), 0.2 % on C headers.
struct PackedSettings {
  int level = 6;
  int fastBytes = 64;
  uint32_t dictionarySize = 64u << 20;  // never more than a stream holds
  int threads = 0;                      // 0: one per processor
};

// Appends identifier and compressed payload of `files` to `target` at its position, where
// the payload begins. Returns the size of the finished file. Throws like the stored writer.
int64_t WritePackedPayload(File& target, FileSystem& fs, const std::vector<SourceFile>& files,
                           const std::string& launchKey, const PayloadId& id, BuildHost& host,
                           const WrittenBytes& written, const PackedSettings& settings = PackedSettings());

// Data whose byte values are spread almost evenly is already compressed (or random): LZMA
// gains a few per cent on it and decodes it several times slower than other data.
bool LooksIncompressible(const unsigned char* data, int32_t count);
