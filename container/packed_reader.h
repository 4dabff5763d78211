// The compressed payload reader (layout in shared/u_packed.h). Like the stored reader it is
// shared by the stub and kesdra-inspect: no exceptions, no library calls, outside bytes
// only through PayloadSource. Memory comes from the caller: the LZMA probability tables
// (a few KiB) and one dictionary, never larger than the builder's maximum.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "container/payload_reader.h"
#include "shared/u_packed.h"

struct PackedLayout {
  PackedHeader header;      // the first 16 bytes; a version 3 header read as the older one
  PackedTrailer trailer;    // versions 1 and 2
  // Positions fit in 32 bits: a larger file is refused before they are taken.
  int32_t chunksBegin;      // the first ChunkHeader (version 3: the first stream's first byte)
  int32_t chunksEnd;        // the trailer (version 3: the stream table)
  int32_t lzmaBytes;        // total Length of the LZMA chunks
  uint32_t dictionarySize;  // as the properties declare it (version 3: the largest stream's)
  // Every version:
  int32_t payloadEnd;       // the first byte after the payload; the file may go on (a signature)
  int32_t decodedSize;      // of the entry sequence
  int32_t dataSize;         // the entries' Size fields summed
  int32_t storedBytes;      // of decodedSize, the bytes kept without compression
  uint32_t dictionaryBytes; // what the unpacker allocates for its dictionary
  int32_t streamCount;      // version 3; 1 before
  StreamRecord streams[kMaxStreams];  // version 3
};

// True when the bytes behind the identifier begin with the compressed payload's marker.
bool HasPackedMarker(const PayloadSource& src, int32_t start);

// Everything that needs no decoding, checked before anything is written: header, version,
// properties within the builder's limits, the CRC-32 over every byte, every chunk header or
// stream record, and the trailer's sizes against them. Uses CopyBuffer. `pump` (may be null) runs
// between reads.
PayloadFault CheckPackedPayload(const PayloadSource& src, int32_t start, PackedLayout* layout, void (*pump)());

struct PackedMemory {
  void* (*allocate)(size_t size);  // may return null
  void (*release)(void* block);
};

// Decodes the payload that CheckPackedPayload accepted and hands every entry to `sink`,
// checking each header, name and checksum as it comes, and that the stream ends exactly at
// its declared size with the end record. Uses CopyBuffer; `nameScratch` needs room for
// kMaxStoredNameLen bytes. Keeps 8 bytes per entry from `memory`, to check copy entries.
PayloadFault UnpackPayload(const PayloadSource& src, const PackedLayout& layout, LeadByteTest isLeadByte,
                           char* nameScratch, const PackedMemory& memory, const EntrySink& sink);

// The same two steps for version 3 only: the stub, which reads nothing older, links these.
PayloadFault CheckStreamPayload(const PayloadSource& src, int32_t start, PackedLayout* layout, void (*pump)());
PayloadFault UnpackStreamPayload(const PayloadSource& src, const PackedLayout& layout, char* nameScratch,
                                 const PackedMemory& memory, const EntrySink& sink);

// Splits LZMA properties (the byte, then the dictionary size); false when they are outside
// what the builder writes.
bool PackedPropsAllowed(const uint8_t props[5], uint32_t* dictionarySize);

// True when the payload's names are UTF-8 (version 3), not in an ANSI code page.
inline bool HasUtf8Names(const PackedLayout& layout) { return layout.header.Version >= 3; }
