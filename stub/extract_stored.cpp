// The stored layout's reader in the plain stub: the walk that checks every entry before
// anything is written, then the container's reader hands each entry to the writer.
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

// At namespace scope: as a local, the 64-bit build copied it from a .data section.
const EntrySink kSink = {nullptr, BeginEntryFile, WriteEntryBytes, EndEntryFile, nullptr};

}  // namespace

void CheckOwnPayload() {
  const PayloadFault fault = WalkPayload(OwnSource, PayloadStart, IsLeadByteAnsi, g_name, OnWalkEntry, nullptr,
                                         &TotalSize);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
}

void ExtractOwnPayload() {
  const PayloadFault fault = ReadStoredPayload(OwnSource, PayloadStart, IsLeadByteAnsi, g_name, kSink);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
}
