// The compressed stub's unpacking: the whole payload is checked (CRC-32, stream records,
// sizes, properties) before anything is written, then decoded stream by stream through
// CopyBuffer and one dictionary straight into the entries' files.
#include <windows.h>

#include "container/packed_reader.h"
#include "stub/stub_state.h"

namespace {

PackedLayout g_layout;
char g_packedName[kMaxStoredNameLen];

void* AllocateBlock(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }
void ReleaseBlock(void* block) { HeapFree(GetProcessHeap(), 0, block); }

HANDLE g_entryFile;  // open between BeginEntry and EndEntry only; zero-initialised, so no .data

// Per entry, where its full path starts in UnpackedList: a copy entry reads its source there.
StubString g_listAt;
char g_sourcePath[kMaxStoredNameLen + 1];
// The decoder holds both halves of CopyBuffer while a copy entry is written.
unsigned char g_copyBytes[65536];

// The code page of the names in this payload: the format stores them in UTF-8.
constexpr UINT kPackedNameCodePage = CP_UTF8;

// The file writer takes names in the ANSI code page: a name is converted through UTF-16 and
// refused, before its file is made, when the code page has no exact spelling for it.
WCHAR g_wideName[kMaxStoredNameLen + 1];
char g_ansiName[kMaxStoredNameLen * 2 + 1];

const char* AnsiName(const EntryHeader& header, const char* name) {
  const int wide = MultiByteToWideChar(kPackedNameCodePage, MB_ERR_INVALID_CHARS, name, header.NameLen, g_wideName,
                                       kMaxStoredNameLen);
  BOOL lossy = FALSE;
  const int ansi = wide > 0 ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, g_wideName, wide, g_ansiName,
                                                  sizeof g_ansiName - 1, nullptr, &lossy)
                            : 0;
  if (ansi <= 0 || lossy) QuitOnPayloadFault(kFaultUnsafeName);
  g_ansiName[ansi] = 0;
  return g_ansiName;
}

HANDLE BeginListedEntry(const EntryHeader& header, const char* name) {
  StrAppend(&g_listAt, reinterpret_cast<const char*>(&UnpackedList.length), sizeof(int32_t));
  EntryHeader ansi = header;
  const char* converted = AnsiName(header, name);
  for (ansi.NameLen = 0; converted[ansi.NameLen]; ++ansi.NameLen) {
  }
  return BeginEntryFile(ansi, converted);
}

void BeginEntry(void*, const EntryHeader& header, const char* name) { g_entryFile = BeginListedEntry(header, name); }
void EntryData(void*, const void* bytes, int32_t count) { WriteEntryBytes(g_entryFile, bytes, count); }
void EndEntry(void*, const EntryHeader& header) {
  EndEntryFile(g_entryFile, header);
  g_entryFile = INVALID_HANDLE_VALUE;
}

// Fills a copy entry's file from its source's file, written earlier in this run. Another
// process may have changed that file since: its bytes must still sum to the source's data.
void CopyEntry(void*, const EntryHeader& header, const char* name, int32_t sourceIndex, uint32_t dataSum) {
  const char* from = UnpackedList.text + reinterpret_cast<const int32_t*>(g_listAt.text)[sourceIndex];
  int32_t n = 0;
  for (; from[n] != '\r'; ++n) g_sourcePath[n] = from[n];
  g_sourcePath[n] = 0;
  HANDLE file = BeginListedEntry(header, name);
  HANDLE source = CreateFileA(g_sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source == INVALID_HANDLE_VALUE) QuitStub(g_sourcePath, FailureCode(ERROR_FILE_NOT_FOUND));
  uint32_t sum = 0;
  int32_t left = header.Size;
  DWORD got = 1;
  while (left > 0 && got > 0) {
    const DWORD want = left < static_cast<int32_t>(sizeof g_copyBytes) ? left : sizeof g_copyBytes;
    if (!ReadFile(source, g_copyBytes, want, &got, nullptr)) QuitStub(g_sourcePath, FailureCode(ERROR_READ_FAULT));
    sum += ByteSum(g_copyBytes, static_cast<int32_t>(got));
    WriteEntryBytes(file, g_copyBytes, static_cast<int32_t>(got));
    left -= static_cast<int32_t>(got);
  }
  CloseHandle(source);
  if (left != 0 || sum != dataSum) QuitStub(g_sourcePath, ERROR_BAD_EXE_FORMAT);
  EndEntryFile(file, header);
}

// At namespace scope: as locals, the 64-bit build copied them from a .data section.
const PackedMemory kMemory = {AllocateBlock, ReleaseBlock};
const EntrySink kSink = {nullptr, BeginEntry, EntryData, EndEntry, CopyEntry};

}  // namespace

void CheckOwnPackedPayload() {
  if (!HasPackedMarker(OwnSource, PayloadStart)) QuitOnPayloadFault(kFaultNoPayload);
  const PayloadFault fault = CheckStreamPayload(OwnSource, PayloadStart, &g_layout, PumpMessages);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
  TotalSize = g_layout.dataSize;
}

void ExtractPackedPayload() {
  const PayloadFault fault = UnpackStreamPayload(OwnSource, g_layout, g_packedName, kMemory, kSink);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
}
