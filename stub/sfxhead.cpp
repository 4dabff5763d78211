// sfxhead: the self-extractor at the front of every produced file. It finds the payload
// behind its own image, checks it, unpacks it below the temporary folder, starts the marked
// file with its own parameters, waits, and ends with that program's exit code. No C
// runtime: its own entry point, only the system DLLs it calls.
#include <windows.h>

#include "stub/stub_state.h"

char OwnPath[MAX_PATH + 1];
HANDLE OwnImage;  // zero, so the stub has no initialised data; set before any read
PayloadSource OwnSource;
int32_t PayloadStart = 0;
PayloadId Id;
int32_t TotalSize = 0;
int32_t DoneSize = 0;
StubString ExtractDir;
StubString UnpackedList;
StubString LaunchPath;
DWORD ExitCode = 0;

namespace {

// Error of the last failed read of the own file; 0 when the reader stopped at the end.
DWORD g_readError = 0;

#ifndef KESDRA_PACKED
// Names are checked during the walk; they are at most kMaxStoredNameLen bytes.
char g_walkName[kMaxStoredNameLen];
#endif

bool ReadOwnImage(void* /*context*/, int64_t pos, void* buffer, int32_t count) {
  LARGE_INTEGER to;
  to.QuadPart = pos;
  DWORD got = 0;
  if (!SetFilePointerEx(OwnImage, to, nullptr, FILE_BEGIN) || !ReadFile(OwnImage, buffer, count, &got, nullptr)) {
    g_readError = GetLastError();
    return false;
  }
  return got == static_cast<DWORD>(count);
}

void TrimSystemText(char* text) {
  int32_t n = StrLen(text);
  while (n > 0 && (static_cast<unsigned char>(text[n - 1]) <= 32 || text[n - 1] == '.')) --n;
  text[n] = 0;
}

// Detail, a blank line and the system's text; or, when the system's text has an insert
// "%1", that text with its first "%1" replaced by Detail.
void ComposeMessage(const char* detail, DWORD code, StubString* message) {
  static char systemText[256];
  systemText[0] = 0;
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                 code, 0, systemText, sizeof(systemText), nullptr);
  TrimSystemText(systemText);
  for (int32_t i = 0; systemText[i]; ++i) {
    if (systemText[i] == '%' && systemText[i + 1] == '1') {
      StrAppend(message, systemText, i);
      StrAppendZ(message, detail);
      StrAppendZ(message, systemText + i + 2);
      return;
    }
  }
  StrAppendZ(message, detail);
  StrAppendZ(message, "\r\n\r\n");
  StrAppendZ(message, systemText);
}

void PrepareOwnImage() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(OwnImage, &size)) QuitStub(OwnPath, FailureCode(ERROR_READ_FAULT));
  OwnSource.context = nullptr;
  OwnSource.readAt = ReadOwnImage;
  OwnSource.size = size.QuadPart;
}

#ifndef KESDRA_PACKED
void OnWalkEntry(void* /*context*/) { PumpMessages(); }
#endif

void LocateAndWalkPayload() {
  PayloadFault fault = LocatePayloadStart(OwnSource, &PayloadStart);
  if (fault == kFaultNone) fault = ReadPayloadId(OwnSource, PayloadStart, &Id);
#ifdef KESDRA_PACKED
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
  CheckOwnPackedPayload();
#else
  if (fault == kFaultNone) fault = WalkPayload(OwnSource, PayloadStart, IsLeadByteAnsi, g_walkName, OnWalkEntry,
                                               nullptr, &TotalSize);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
#endif
}

}  // namespace

DWORD FailureCode(DWORD fallback) {
  const DWORD code = GetLastError();
  return code != 0 ? code : fallback;
}

void QuitOnPayloadFault(PayloadFault fault) {
  if (fault == kFaultRead) QuitStub(OwnPath, g_readError != 0 ? g_readError : ERROR_HANDLE_EOF);
  QuitStub(OwnPath, ERROR_BAD_EXE_FORMAT);
}

void QuitStub(const char* detail, DWORD code) {
  if (code != 0) {
    StubString message = {};
    ComposeMessage(detail, code, &message);
    MessageBoxA(nullptr, message.text, nullptr, MB_OK | MB_ICONHAND);
    DestroyProgressWindow();
    ExitCode = 0xFFFFFFFF;
  }
  ScheduleRemoval();
  ExitProcess(ExitCode);
}

void OpenOwnImage() {
  OwnImage = CreateFileA(OwnPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (OwnImage == INVALID_HANDLE_VALUE) QuitStub(OwnPath, FailureCode(ERROR_OPEN_FAILED));
  PrepareOwnImage();
}

extern "C" void __stdcall SfxEntry() {
  GetModuleFileNameA(nullptr, OwnPath, sizeof(OwnPath));
  SelectLanguage();
  CreateProgressWindow();
  PumpMessages();
  OpenOwnImage();
  LocateAndWalkPayload();
  MakeExtractDir();
  CheckFreeSpace();
  ExtractPayload();
  CloseHandle(OwnImage);
  OwnImage = INVALID_HANDLE_VALUE;
  if (LaunchPath.length == 0) QuitStub(OwnPath, ERROR_BAD_EXE_FORMAT);
  LaunchAndWait();
  QuitStub("", 0);
}
