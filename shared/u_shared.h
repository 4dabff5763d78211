// u_shared: what the builder and the stub must agree on byte for byte.
//
// A produced file is laid out end to end, with no padding anywhere:
//
//   +---------------------------+  offset 0
//   | stub image (a PE file)    |  its last section's raw data ends where the payload begins
//   +---------------------------+  payload start
//   | PayloadId        11 bytes |  count byte (10) + ten characters "0".."9","A".."F"
//   +---------------------------+
//   | EntryHeader      17 bytes |  -.
//   | name          NameLen     |   | one entry per file, in pre-order of the
//   | data          Size        |   | source tree as the directory listing gives it
//   | checksum          4 bytes |  -'  ByteSum(name) + ByteSum(data), mod 2^32
//   +---------------------------+
//   | ...                       |
//   +---------------------------+
//   | end record       17 bytes |  an EntryHeader with every byte zero
//   +---------------------------+  end of file
//
// All integers are little-endian; counts, sizes and positions are signed 32-bit.
// This header is compiled into the stub too: keep it free of the C and C++ runtime.
#pragma once

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)
struct PayloadId {
  uint8_t Count;      // number of identifier characters; the builder always writes 10
  char Chars[10];     // upper-case hexadecimal, zero-padded on the left
};

struct EntryHeader {
  uint8_t IsLaunch;   // non-zero: start this file after unpacking
  int32_t NameLen;    // bytes of stored name after the header; >= 1 in a real entry
  int32_t Size;       // bytes of file data after the name
  int32_t Time;       // local last-write time, DOS date in the high word, DOS time in the low word
  uint32_t Attr;      // Windows attribute bits of the file
};
#pragma pack(pop)

static_assert(sizeof(PayloadId) == 11, "PayloadId is 11 bytes on disk");
static_assert(offsetof(PayloadId, Chars) == 1, "PayloadId characters follow the count byte");
static_assert(sizeof(EntryHeader) == 17, "EntryHeader is 17 bytes on disk");
static_assert(offsetof(EntryHeader, NameLen) == 1, "EntryHeader layout");
static_assert(offsetof(EntryHeader, Size) == 5, "EntryHeader layout");
static_assert(offsetof(EntryHeader, Time) == 9, "EntryHeader layout");
static_assert(offsetof(EntryHeader, Attr) == 13, "EntryHeader layout");

// Windows attribute bits, as EntryHeader.Attr and directory listings carry them.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrVolumeLabel = 0x08;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

// The payload's fixed pieces.
constexpr int32_t kPayloadIdSize = static_cast<int32_t>(sizeof(PayloadId));
constexpr int32_t kEntryHeaderSize = static_cast<int32_t>(sizeof(EntryHeader));
constexpr int32_t kChecksumSize = 4;

// Every byte of file data passes through this one buffer, in both programs.
constexpr int32_t kCopyBufferSize = 1048576;
extern unsigned char CopyBuffer[kCopyBufferSize];

// 32-bit sum of the bytes, each taken as 0..255, wrapping modulo 2^32. A count <= 0 gives 0.
uint32_t ByteSum(const void* data, int32_t count);

// The end record is recognised by its four integer fields; IsLaunch is not looked at.
inline bool IsEndRecord(const EntryHeader& h) {
  return h.NameLen == 0 && h.Size == 0 && h.Time == 0 && h.Attr == 0;
}
