// The compressed stub's unpacking: the whole payload is checked (CRC-32, stream records,
// sizes, properties) before anything is written, then decoded stream by stream through
// CopyBuffer and one dictionary straight into the entries' files.
#include <windows.h>

#include "container/packed_reader.h"
#include "stub/stub_state.h"

// The names are UTF-8: a file unpacks with the same names whatever the system's code page.
extern const UINT StoredNameCodePage = CP_UTF8;

namespace {

PackedLayout g_layout;
char g_packedName[kMaxStoredNameLen];

void* AllocateBlock(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }
void ReleaseBlock(void* block) { HeapFree(GetProcessHeap(), 0, block); }

// Every entry's full path, each ended by a zero, and per entry where it starts (two units):
// a copy entry reads its source there.
StubString g_paths;
StubString g_listAt;
// The decoder holds both halves of CopyBuffer while a copy entry is written.
unsigned char g_copyBytes[65536];

void BeginEntry(void*, const EntryHeader& header, const char* name) {
  const wchar_t at[2] = {static_cast<wchar_t>(g_paths.length), static_cast<wchar_t>(g_paths.length >> 16)};
  StrAppend(&g_listAt, at, 2);
  BeginEntryFile(nullptr, header, name);
  const wchar_t* path = OpenEntryPath();
  StrAppend(&g_paths, path, StrLen(path) + 1);
}

// Fills a copy entry's file from its source's file, written earlier in this run. Another
// process may have changed that file since: its bytes must still sum to the source's data.
void CopyEntry(void*, const EntryHeader& header, const char* name, int32_t sourceIndex, uint32_t dataSum) {
  const wchar_t* at = g_listAt.text + 2 * sourceIndex;
  EntryHeader copy = header;
  copy.IsLaunch = 0;  // a copy entry's 2 is no launch mark
  BeginEntry(nullptr, copy, name);
  const wchar_t* sourcePath = g_paths.text + (at[0] | at[1] << 16);
  HANDLE source = CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source == INVALID_HANDLE_VALUE) QuitStub(sourcePath, FailureCode(ERROR_FILE_NOT_FOUND));
  uint32_t sum = 0;
  int32_t left = header.Size;
  DWORD got = 1;
  while (left > 0 && got > 0) {
    const DWORD want = left < static_cast<int32_t>(sizeof g_copyBytes) ? left : sizeof g_copyBytes;
    if (!ReadFile(source, g_copyBytes, want, &got, nullptr)) QuitStub(sourcePath, FailureCode(ERROR_READ_FAULT));
    sum += ByteSum(g_copyBytes, static_cast<int32_t>(got));
    WriteEntryBytes(nullptr, g_copyBytes, static_cast<int32_t>(got));
    left -= static_cast<int32_t>(got);
  }
  CloseHandle(source);
  if (left != 0 || sum != dataSum) QuitStub(sourcePath, ERROR_BAD_EXE_FORMAT);
  EndEntryFile(nullptr, header);
}

// At namespace scope: as locals, the 64-bit build copied them from a .data section.
const PackedMemory kMemory = {AllocateBlock, ReleaseBlock};
const EntrySink kSink = {nullptr, BeginEntry, WriteEntryBytes, EndEntryFile, CopyEntry};

}  // namespace

void CheckOwnPayload() {
  if (!HasPackedMarker(OwnSource, PayloadStart)) QuitOnPayloadFault(kFaultNoPayload);
  const PayloadFault fault = CheckStreamPayload(OwnSource, PayloadStart, &g_layout, PumpMessages);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
  TotalSize = g_layout.dataSize;
  NeededSize = TotalSize;
}

void ExtractOwnPayload() {
  const PayloadFault fault = UnpackStreamPayload(OwnSource, g_layout, g_packedName, kMemory, kSink);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
}
