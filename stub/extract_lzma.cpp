// The compressed stub's unpacking: the whole payload is checked (CRC-32, chunks, sizes,
// properties) before anything is written, then decoded through CopyBuffer and one
// dictionary straight into the entries' files.
#include <windows.h>

#include "container/packed_reader.h"
#include "stub/stub_state.h"

namespace {

PackedLayout g_layout;
char g_packedName[kMaxStoredNameLen];

void* AllocateBlock(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }
void ReleaseBlock(void* block) { HeapFree(GetProcessHeap(), 0, block); }

HANDLE g_entryFile;  // open between BeginEntry and EndEntry only; zero-initialised, so no .data

void BeginEntry(void*, const EntryHeader& header, const char* name) { g_entryFile = BeginEntryFile(header, name); }
void EntryData(void*, const void* bytes, int32_t count) { WriteEntryBytes(g_entryFile, bytes, count); }
void EndEntry(void*, const EntryHeader& header) {
  EndEntryFile(g_entryFile, header);
  g_entryFile = INVALID_HANDLE_VALUE;
}

}  // namespace

void CheckOwnPackedPayload() {
  if (!HasPackedMarker(OwnSource, PayloadStart)) QuitOnPayloadFault(kFaultNoPayload);
  const PayloadFault fault = CheckPackedPayload(OwnSource, PayloadStart, &g_layout, PumpMessages);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
  TotalSize = g_layout.trailer.DataSize;
}

void ExtractPackedPayload() {
  const PackedMemory memory = {AllocateBlock, ReleaseBlock};
  const EntrySink sink = {nullptr, BeginEntry, EntryData, EndEntry};
  const PayloadFault fault = UnpackPayload(OwnSource, g_layout, IsLeadByteAnsi, g_packedName, memory, sink);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
}
