// u_packed: the compressed payload, a versioned extension of the stored layout (u_shared.h).
//
// Behind the identifier, where a stored payload has its first EntryHeader, a compressed one
// has a PackedHeader whose second field, read as a NameLen, is negative: every reader of the
// stored layout refuses the file there, before it writes anything.
//
//   +----------------------------+  payload start
//   | PayloadId         11 bytes |  as in the stored layout
//   +----------------------------+  ---------------------------------------------.
//   | PackedHeader      16 bytes |  marker, version, LZMA properties             |
//   +----------------------------+                                               |
//   | ChunkHeader        9 bytes |  -.  Kind 1: a piece of the one LZMA stream   | covered by
//   | chunk bytes       Length   |   |  Kind 2: bytes that go unchanged into the | the CRC-32
//   +----------------------------+  -'  decoded stream at position At          |
//   | ...                        |  chunks of both kinds, in any interleaving    |
//   +----------------------------+                                               |
//   | PackedTrailer     16 bytes |  sizes, then the CRC-32 ----------------------'
//   +----------------------------+  end of file
//
// The decoded stream is exactly the entry sequence of the stored layout: EntryHeader, name,
// data, ByteSum checksum per file, and the end record. The LZMA pieces, concatenated, are
// one solid stream (no end mark) that decodes to the stream with the stored pieces left
// out; the stored pieces carry the data of files that would not shrink. Every integer is
// little-endian; sizes and positions are signed 32-bit.
//
// Version 2 adds copy entries, for a file whose bytes equal an earlier file's: in place of
// the data they carry the 4-byte index (0-based, in stream order) of that earlier entry,
// which must be an ordinary entry of the same Size; the checksum stays what the entry would
// carry with the data.
//
//   | EntryHeader  IsLaunch = kCopyEntry, Size = the file's size |
//   | name         NameLen bytes                                 |
//   | source       4 bytes: index of the earlier entry           |
//   | ByteSum      4 bytes: name sum + the source's data sum     |
//
// Readers take versions 1 and 2; a copy entry in version 1 is a fault.
// Compiled into the stub too: no C or C++ runtime.
#pragma once

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)
struct PackedHeader {
  uint8_t Zero;        // 0, where a stored payload has IsLaunch
  int32_t Marker;      // kPackedMarker, where a stored payload has NameLen
  char Magic[3];       // "KZP"
  uint8_t Version;     // kPackedVersion
  uint8_t Props[5];    // LZMA properties: (pb * 5 + lp) * 9 + lc, then the dictionary size
  uint16_t Reserved;   // 0
};

struct ChunkHeader {
  uint8_t Kind;        // kChunkLzma or kChunkStored
  int32_t Length;      // bytes of the chunk after this header, >= 1
  int32_t At;          // stored chunks: position of their first byte in the decoded stream; else 0
};

struct PackedTrailer {
  int32_t DecodedSize;  // bytes of the decoded stream, end record included
  int32_t DataSize;     // sum of the entries' Size fields, copy entries' too
  int32_t LzmaDecoded;  // of DecodedSize, the bytes that the LZMA stream decodes to
  uint32_t Crc;         // CRC-32 of every byte from the PackedHeader up to this field
};
#pragma pack(pop)

static_assert(sizeof(PackedHeader) == 16, "PackedHeader is 16 bytes on disk");
static_assert(offsetof(PackedHeader, Marker) == 1, "the marker lies where a stored NameLen does");
static_assert(offsetof(PackedHeader, Props) == 9, "PackedHeader layout");
static_assert(sizeof(ChunkHeader) == 9, "ChunkHeader is 9 bytes on disk");
static_assert(offsetof(ChunkHeader, Length) == 1 && offsetof(ChunkHeader, At) == 5, "ChunkHeader layout");
static_assert(sizeof(PackedTrailer) == 16, "PackedTrailer is 16 bytes on disk");
static_assert(offsetof(PackedTrailer, Crc) == 12, "the CRC is the last field of the file");

constexpr int32_t kPackedMarker = -0x5A4B;  // any negative NameLen is refused by stored readers
constexpr uint8_t kPackedVersion = 2;
constexpr uint8_t kFirstPackedVersion = 1;  // still read: the same without copy entries
constexpr uint8_t kCopyEntry = 2;           // IsLaunch of a copy entry, never a launch mark
constexpr int32_t kCopyIndexSize = 4;
constexpr uint8_t kChunkLzma = 1;
constexpr uint8_t kChunkStored = 2;
constexpr int32_t kPackedHeaderSize = static_cast<int32_t>(sizeof(PackedHeader));
constexpr int32_t kChunkHeaderSize = static_cast<int32_t>(sizeof(ChunkHeader));
constexpr int32_t kPackedTrailerSize = static_cast<int32_t>(sizeof(PackedTrailer));

// What the builder writes at most; the unpacker refuses anything beyond, so a hostile file
// cannot make it allocate more than the dictionary plus a few KiB of probability tables.
constexpr uint32_t kMaxDictionarySize = 16u << 20;
constexpr unsigned kMaxLc = 3, kMaxLp = 0, kMaxPb = 2;

// The largest chunk the builder writes and the unpacker reads in one go.
constexpr int32_t kMaxChunkLength = 1 << 20;

// CRC-32 (the reflected 0xEDB88320 polynomial) of `count` bytes, continuing from `crc`;
// start with 0.
uint32_t Crc32(uint32_t crc, const void* data, int32_t count);
