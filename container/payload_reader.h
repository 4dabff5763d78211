// The payload reader: finds the payload behind a stub image and walks its entries, refusing
// anything that would make an unpacker write outside its folder or read past the file.
// Shared by the stub (Win32 handles, no C runtime) and kesdra-inspect (POSIX files), so it
// uses no exceptions, no heap and no library calls; outside bytes are only ever reached
// through PayloadSource, and every offset is checked in 64-bit before it is used.
#pragma once

#include <stdint.h>

#include "container/stored_name.h"
#include "shared/u_limits.h"
#include "shared/u_shared.h"

// What went wrong; kFaultNone is success. kFaultRead means the source failed to read (its
// own error code tells why); every other fault means the file is not a valid payload.
enum PayloadFault : uint8_t {
  kFaultNone = 0,
  kFaultRead,
  kFaultNoPeImage,        // no "PE\0\0" signature where the header says
  kFaultNoPayload,        // the file ends at or before payload start + 11
  kFaultBadId,            // identifier count above 10, or a character outside 0-9A-F
  kFaultBadNameLen,       // NameLen below 1 or above kMaxStoredNameLen
  kFaultBadSize,          // negative Size
  kFaultTooLarge,         // a position or the total size would pass 2,147,483,647
  kFaultUnsafeName,       // a stored name that is not a plain relative path
  kFaultNoEndRecord,      // the walk ran off the end of the file
  kFaultNoData,           // the entries hold no data byte at all
  kFaultChecksum,         // an entry's stored checksum differs from its bytes
  kFaultPackedDamaged,    // a compressed payload's CRC-32, chunks or sizes do not agree
  kFaultPackedUnsupported,  // a compressed payload of another version or with other properties
  kFaultPackedStream,     // the LZMA stream is corrupt, ends early or runs past its size
};

// Longest stored name accepted: no Windows path can be longer.
constexpr int32_t kMaxStoredNameLen = 32767;

// A readable file. readAt fills exactly `count` bytes from offset `pos` and returns true,
// or returns false (a short read is a failure too).
struct PayloadSource {
  void* context;
  bool (*readAt)(void* context, int64_t pos, void* buffer, int32_t count);
  int64_t size;
};

// Reads exactly `count` bytes at `pos` through `src`, after checking that they lie inside
// the file; false otherwise. Every read of outside bytes in container/ goes through here.
bool ReadWithin(const PayloadSource& src, int64_t pos, void* buffer, int32_t count);

// The numbers of a real entry's header (not the end record): NameLen and Size in range.
PayloadFault CheckEntryNumbers(const EntryHeader& header);

// Largest end of section raw data in the PE section table (0 when there is no "PE" header),
// read exactly as the stub always has: a 16-bit new-header offset after "MZ", else offset 2.
PayloadFault LocatePayloadStart(const PayloadSource& src, int32_t* start);

// Checks that the file is longer than start + 11 and reads a well-formed identifier.
PayloadFault ReadPayloadId(const PayloadSource& src, int32_t start, PayloadId* id);

// Reads the entry header at `pos`. For a real entry also checks its numbers and reads and
// checks its name into `name` (room for kMaxStoredNameLen bytes); `next` receives the
// position of the following header. An end record leaves `name` and `next` alone.
PayloadFault ReadEntry(const PayloadSource& src, int32_t pos, LeadByteTest isLeadByte, EntryHeader* header,
                       char* name, int32_t* next);

// The header-only walk before anything is written: every header and name is read and
// checked, sizes are totalled. `onEntry` (may be null) runs after each real entry, with its
// header.
// `nameScratch` needs room for kMaxStoredNameLen bytes.
PayloadFault WalkPayload(const PayloadSource& src, int32_t start, LeadByteTest isLeadByte, char* nameScratch,
                         void (*onEntry)(void* context, const EntryHeader& header), void* context,
                         int32_t* totalSize);

// Receives the entries of either kind of payload, in order. `begin` gets a header whose name
// has passed the name rules (compressed version 3: UTF-8, IsSafeUtf8Name; else the ANSI code
// page); `end` runs once the entry's checksum has matched. `copy` (compressed payloads only)
// gets a copy entry whose index and checksum have matched: the file repeats the data of entry
// `sourceIndex` (counted over all entries, copies too), whose bytes sum to `dataSum`; the
// sink writes the whole file and checks that sum against the bytes it copies.
struct EntrySink {
  void* context;
  void (*begin)(void* context, const EntryHeader& header, const char* name);
  void (*data)(void* context, const void* bytes, int32_t count);
  void (*end)(void* context, const EntryHeader& header);
  void (*copy)(void* context, const EntryHeader& header, const char* name, int32_t sourceIndex, uint32_t dataSum);
};

// After WalkPayload has accepted the payload: reads each entry again and hands it to `sink`
// through CopyBuffer. Headers and names are checked again, since the file may have changed
// since the walk; a checksum that differs from the entry's bytes is kFaultChecksum, met
// before `end` and after the entry's data went to the sink.
PayloadFault ReadStoredPayload(const PayloadSource& src, int32_t start, LeadByteTest isLeadByte, char* nameScratch,
                               const EntrySink& sink);

// Reads a little-endian 32-bit value from stored bytes.
inline uint32_t LoadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Writes a 32-bit value as the stored bytes hold it, little-endian.
inline void StoreLe32(uint32_t value, unsigned char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
