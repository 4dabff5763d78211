// sfxhead: the self-extractor at the front of every produced file. It finds the payload
// behind its own image, checks it, unpacks it below the temporary folder, starts the marked
// file with its own parameters, waits, and ends with that program's exit code. No C
// runtime: its own entry point, only the system DLLs it calls.
#include <windows.h>

#include "stub/stub_state.h"

wchar_t OwnPath[kPathRoom];
HANDLE OwnImage;  // zero, so the stub has no initialised data; set before any read
PayloadSource OwnSource;
int32_t PayloadStart = 0;
// Kept visible: when link-time optimisation makes this 11-byte object local, the compiler
// emits it into whatever section it wrote last, which may be the read-only one.
__attribute__((externally_visible)) PayloadId Id;
int32_t TotalSize = 0;
int64_t NeededSize = 0;
int32_t LongestName = 0;
int32_t DoneSize = 0;
StubString ExtractDir;
StubString LaunchPath;
DWORD ExitCode = 0;

namespace {

// Error of the last failed read of the own file; 0 when the reader stopped at the end.
DWORD g_readError = 0;

// The walk and the extraction read the own file front to back, mostly in pieces of a few
// bytes (headers, names, small files): they are served from one window, refilled by one
// large read, and the file pointer is moved only where a read does not follow the last one.
constexpr int32_t kReadWindowSize = 65536;
unsigned char g_window[kReadWindowSize];
int64_t g_windowPos = 0;  // file position of g_window[0]
int32_t g_windowLength = 0;
int64_t g_filePos;        // where the file pointer stands, when g_filePosKnown
bool g_filePosKnown;      // zero-initialised like the rest: the stub carries no .data

bool ReadDirect(int64_t pos, void* buffer, int32_t count, DWORD* got) {
  if (!g_filePosKnown || pos != g_filePos) {
    LARGE_INTEGER to;
    to.QuadPart = pos;
    g_filePosKnown = false;
    if (!SetFilePointerEx(OwnImage, to, nullptr, FILE_BEGIN)) return false;
  }
  if (!ReadFile(OwnImage, buffer, count, got, nullptr)) {
    g_filePosKnown = false;
    return false;
  }
  g_filePos = pos + *got;
  g_filePosKnown = true;
  return true;
}

bool ReadOwnImage(void* /*context*/, int64_t pos, void* buffer, int32_t count) {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    DWORD got = 0;
    if (pos >= g_windowPos && pos < g_windowPos + g_windowLength) {
      const int32_t offset = static_cast<int32_t>(pos - g_windowPos);
      const int32_t n = g_windowLength - offset < count ? g_windowLength - offset : count;
      StubCopyBytes(out, g_window + offset, n);
      out += n;
      pos += n;
      count -= n;
    } else if (count >= kReadWindowSize) {
      if (!ReadDirect(pos, out, count, &got)) break;
      return got == static_cast<DWORD>(count);
    } else {
      g_windowLength = 0;
      if (!ReadDirect(pos, g_window, kReadWindowSize, &got)) break;
      if (got == 0) return false;  // the file ends early
      g_windowPos = pos;
      g_windowLength = static_cast<int32_t>(got);
    }
  }
  if (count == 0) return true;
  g_readError = GetLastError();
  return false;
}

void TrimSystemText(wchar_t* text) {
  int32_t n = StrLen(text);
  while (n > 0 && (text[n - 1] <= 32 || text[n - 1] == '.')) --n;
  text[n] = 0;
}

// Detail, a blank line and the system's text; or, when the system's text has an insert
// "%1", that text with its first "%1" replaced by Detail.
void ComposeMessage(const wchar_t* detail, DWORD code, StubString* message) {
  static wchar_t systemText[256];
  systemText[0] = 0;
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                 code, 0, systemText, sizeof(systemText) / sizeof(systemText[0]), nullptr);
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
  StrAppendAscii(message, "\r\n\r\n");
  StrAppendZ(message, systemText);
}

void PrepareOwnImage() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(OwnImage, &size)) QuitStub(OwnPath, FailureCode(ERROR_READ_FAULT));
  OwnSource.context = nullptr;
  OwnSource.readAt = ReadOwnImage;
  OwnSource.size = size.QuadPart;
}

void LocateAndCheckPayload() {
  PayloadFault fault = LocatePayloadStart(OwnSource, &PayloadStart);
  if (fault == kFaultNone) fault = ReadPayloadId(OwnSource, PayloadStart, &Id);
  if (fault != kFaultNone) QuitOnPayloadFault(fault);
  CheckOwnPayload();
}

// Before any other library is loaded: the system folder is the only place a library is
// looked for by name, and the libraries that the shell and the window code load later by
// name are loaded now, from there. A program usually runs from the downloads folder, where
// anyone's library may lie. The DLL names, each without its extension, end in an empty one.
const char kPreloaded[] = "uxtheme\0userenv\0setupapi\0apphelp\0propsys\0dwmapi\0cryptbase\0oleacc\0clbcatq\0version\0";

void HardenLibraryLoading() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto setDirectories = reinterpret_cast<SetDirectories>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "SetDefaultDllDirectories")));
  // Windows 7 without its loader update lacks it; there the program's folder stays, but
  // the current folder at least leaves the search.
  if (!setDirectories || !setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
  static wchar_t path[MAX_PATH + 16];
  const UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  path[n] = '\\';
  for (const char* name = kPreloaded; *name; ++name) {
    int32_t i = n + 1;
    while (*name) path[i++] = static_cast<unsigned char>(*name++);
    path[i] = 0;
    LoadLibraryW(path);
  }
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

void QuitStub(const wchar_t* detail, DWORD code) {
  if (code != 0) {
    StubString message = {};
    ComposeMessage(detail, code, &message);
    MessageBoxW(nullptr, message.text, nullptr, MB_OK | MB_ICONHAND);
    DestroyProgressWindow();
    ExitCode = 0xFFFFFFFF;
  }
  RemoveExtracted();
  ExitProcess(ExitCode);
}

void OpenOwnImage() {
  OwnImage = CreateFileW(OwnPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (OwnImage == INVALID_HANDLE_VALUE) QuitStub(OwnPath, FailureCode(ERROR_OPEN_FAILED));
  PrepareOwnImage();
}

extern "C" void __stdcall SfxEntry() {
  HardenLibraryLoading();
  // A path cut short at the buffer's end would name another file.
  if (GetModuleFileNameW(nullptr, OwnPath, kPathRoom) >= static_cast<DWORD>(kPathRoom)) {
    OwnPath[kPathRoom - 1] = 0;
    QuitStub(OwnPath, ERROR_FILENAME_EXCED_RANGE);
  }
  SelectLanguage();
  CreateProgressWindow();
  PumpMessages();
  OpenOwnImage();
  FindTempFolder();
  LocateAndCheckPayload();
  MakeExtractDir();
  CheckFreeSpace();
  ExtractOwnPayload();
  CloseHandle(OwnImage);
  OwnImage = INVALID_HANDLE_VALUE;
  if (LaunchPath.length == 0) QuitStub(OwnPath, ERROR_BAD_EXE_FORMAT);
  LaunchAndWait();
  QuitStub(L"", 0);
}
