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
// Version 3 replaces the chunks by streams laid end to end, records where the payload ends,
// and stores names in UTF-8 (versions 1 and 2: the ANSI code page of the building system):
//
//   +--------------------------------+  payload start
//   | PayloadId             11 bytes |
//   +--------------------------------+  -------------------------------------------.
//   | PackedHeader          16 bytes |  Version 3; PayloadSize in place of Props   | the CRC-32,
//   +--------------------------------+                                             | except the
//   | stream 0      PackedSize bytes |  each stream decodes to a run of whole     | PayloadSize
//   | stream 1 ...                   |  entries; their runs, in stream order,      | field
//   +--------------------------------+  make the entry sequence                    |
//   | StreamRecord × StreamCount     |  16 bytes each: how each stream is coded    |
//   | StreamTrailer         16 bytes |  sizes, stream count, then the CRC-32 -------'
//   +--------------------------------+  payload end = header start + PayloadSize
//   | anything (an Authenticode      |  not read: signing appends padding and the
//   | certificate table)             |  certificate table after the payload
//   +--------------------------------+  end of file
//
// A stream is either stored (its bytes are the entries as they are) or one LZMA stream
// without an end mark, with its own properties and dictionary, whose output may further
// pass the x86 branch converter (shared/u_x86.h) from position 0 of the stream. The unpacker
// decodes the streams one after another with one dictionary, as large as the largest
// stream needs. The PayloadSize field is filled in when everything behind it is written,
// so the CRC-32 skips it; a wrong value moves the trailer and the CRC fails.
//
// Readers take versions 1 to 3; a copy entry in version 1 is a fault.
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

// The version 3 header: the same first nine bytes.
struct StreamHeader {
  uint8_t Zero;         // 0
  int32_t Marker;       // kPackedMarker
  char Magic[3];        // "KZP"
  uint8_t Version;      // 3
  int32_t PayloadSize;  // bytes from this header's first byte to the trailer's last
  uint8_t Reserved[3];  // 0
};

struct StreamRecord {
  uint8_t Method;          // kStreamStored or kStreamLzma
  uint8_t Filter;          // kFilterNone or kFilterX86 (LZMA streams only)
  uint8_t Props;           // LZMA: (pb * 5 + lp) * 9 + lc; stored: 0
  uint8_t Reserved;        // 0
  uint32_t DictionarySize; // LZMA: the encoder's dictionary; stored: 0
  int32_t PackedSize;      // bytes of the stream in the file
  int32_t DecodedSize;     // bytes it decodes to, >= 1
};

struct StreamTrailer {
  int32_t DecodedSize;  // bytes of the entry sequence, end record included
  int32_t DataSize;     // sum of the entries' Size fields, copy entries' too
  int32_t StreamCount;  // 1 .. kMaxStreams
  uint32_t Crc;         // CRC-32 from the StreamHeader up to this field, PayloadSize left out
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

static_assert(sizeof(StreamHeader) == 16 && offsetof(StreamHeader, PayloadSize) == 9, "StreamHeader layout");
static_assert(sizeof(StreamRecord) == 16 && offsetof(StreamRecord, PackedSize) == 8, "StreamRecord layout");
static_assert(sizeof(StreamTrailer) == 16 && offsetof(StreamTrailer, Crc) == 12, "StreamTrailer layout");

constexpr int32_t kPackedMarker = -0x5A4B;  // any negative NameLen is refused by stored readers
constexpr uint8_t kPackedVersion = 3;
constexpr uint8_t kChunkedVersion = 2;      // still read: chunks of one LZMA stream
constexpr uint8_t kFirstPackedVersion = 1;  // still read: version 2 without copy entries
constexpr uint8_t kCopyEntry = 2;           // IsLaunch of a copy entry, never a launch mark
constexpr int32_t kCopyIndexSize = 4;
constexpr uint8_t kChunkLzma = 1;
constexpr uint8_t kChunkStored = 2;
constexpr int32_t kPackedHeaderSize = static_cast<int32_t>(sizeof(PackedHeader));
constexpr int32_t kChunkHeaderSize = static_cast<int32_t>(sizeof(ChunkHeader));
constexpr int32_t kPackedTrailerSize = static_cast<int32_t>(sizeof(PackedTrailer));
constexpr int32_t kStreamRecordSize = static_cast<int32_t>(sizeof(StreamRecord));
constexpr int32_t kPayloadSizeAt = static_cast<int32_t>(offsetof(StreamHeader, PayloadSize));
constexpr uint8_t kStreamStored = 0, kStreamLzma = 1;
constexpr uint8_t kFilterNone = 0, kFilterX86 = 1;
constexpr int32_t kMaxStreams = 64;

// What the builder writes at most; the unpacker refuses anything beyond, so a hostile file
// cannot make it allocate more than the dictionary plus a few KiB of probability tables.
constexpr uint32_t kMaxDictionarySize = 64u << 20;
constexpr uint32_t kMaxChunkedDictionarySize = 16u << 20;  // versions 1 and 2
constexpr unsigned kMaxLc = 3, kMaxLp = 0, kMaxPb = 2;

// The largest chunk the builder writes and the unpacker reads in one go.
constexpr int32_t kMaxChunkLength = 1 << 20;

// CRC-32 (the reflected 0xEDB88320 polynomial) of `count` bytes, continuing from `crc`;
// start with 0.
uint32_t Crc32(uint32_t crc, const void* data, int32_t count);
