// The stored layout's reader in the plain stub: the walk that checks every entry before
// anything is written, then each entry read again and handed to the writer.
#include <windows.h>

#include "stub/stub_state.h"

// Stored names are text of the system's ANSI code page.
extern const UINT StoredNameCodePage = CP_ACP;

namespace {

// Names are checked during the walk and the extraction; they are at most kMaxStoredNameLen bytes.
char g_name[kMaxStoredNameLen];

void OnWalkEntry(void* /*context*/, const EntryHeader& header) {
  if (header.NameLen > LongestName) LongestName = header.NameLen;
  NeededSize += OnDisk(header.Size);
  PumpMessages();
}

// Here, not with the shared helpers: the compressed stub's names are UTF-8, and an import
// stays in the image once any object names it, even when no code calls it.
bool IsLeadByteAnsi(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

void ReadOwn(int64_t pos, void* buffer, int32_t count) {
  if (!OwnSource.readAt(OwnSource.context, pos, buffer, count)) QuitOnPayloadFault(kFaultRead);
}

}  // namespace

void CheckOwnPayload() {
  const PayloadFault fault = WalkPayload(OwnSource, PayloadStart, IsLeadByteAnsi, g_name, OnWalkEntry, nullptr,
                                         &TotalSize);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
}

void ExtractOwnPayload() {
  int32_t pos = PayloadStart + kPayloadIdSize;
  while (pos < OwnSource.size) {
    EntryHeader header;
    int32_t next = 0;
    // Checked again: the own file is shared for writing and may have changed since the walk.
    const PayloadFault fault = ReadEntry(OwnSource, pos, IsLeadByteAnsi, &header, g_name, &next);
    if (fault != kFaultNone) QuitOnPayloadFault(fault);
    if (IsEndRecord(header)) break;
    HANDLE file = BeginEntryFile(header, g_name);
    uint32_t checksum = ByteSum(g_name, header.NameLen);
    const int64_t dataPos = static_cast<int64_t>(pos) + kEntryHeaderSize + header.NameLen;
    for (int32_t copied = 0; copied < header.Size;) {
      const int32_t n = header.Size - copied < kCopyBufferSize ? header.Size - copied : kCopyBufferSize;
      ReadOwn(dataPos + copied, CopyBuffer, n);
      WriteEntryBytes(file, CopyBuffer, n);
      checksum += ByteSum(CopyBuffer, n);
      copied += n;
    }
    unsigned char stored[4];
    ReadOwn(dataPos + header.Size, stored, kChecksumSize);
    if (LoadLe32(stored) != checksum) QuitStub(OwnPath, ERROR_BAD_EXE_FORMAT);
    EndEntryFile(file, header);
    pos = next;
  }
}
