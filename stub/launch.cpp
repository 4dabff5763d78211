// Launch, wait and clean-up: the marked file started through the shell with the stub's
// parameters, and everything unpacked registered for deletion at the next restart.
#include <windows.h>
#include <shellapi.h>

#include "stub/launch_params.h"
#include "stub/stub_state.h"

#if !defined(_WIN64)
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "the launch request is the 60-byte record");
#endif

namespace {

// Shared by every level of ScheduleTreeRemoval.
char g_treePath[MAX_PATH * 2 + 2];

// Restart-time deletions as the system keeps them: pairs of "\??\" + path and an empty new
// name, in the Session Manager's PendingFileRenameOperations. One call per path would
// rewrite the whole value each time (quadratic in the number of files); the stub gathers
// its pairs here and writes the value once, appended to what is there already.
const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
StubString g_pending;

bool IsLinkOrMissing(DWORD attributes) {
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void AddPending(const char* path) {
  StrAppendZ(&g_pending, "\\??\\");
  StrAppend(&g_pending, path, StrLen(path) + 1);
  StrAppendChar(&g_pending, 0);
}

// The value as it is, its closing empty string dropped; an empty value when there is none.
// False when it is there but not a string list: the system would not add to it either.
bool ReadPendingValue(HKEY key, wchar_t** value, DWORD* chars, DWORD room) {
  DWORD type = 0, bytes = 0;
  *chars = 0;
  const LONG asked = RegQueryValueExW(key, kPendingValue, nullptr, &type, nullptr, &bytes);
  if (asked == ERROR_FILE_NOT_FOUND) bytes = 0;
  else if (asked != ERROR_SUCCESS || type != REG_MULTI_SZ) return false;
  *value = static_cast<wchar_t*>(StubAlloc(bytes + room * sizeof(wchar_t) + 2 * sizeof(wchar_t)));
  if (bytes > 0 && RegQueryValueExW(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(*value), &bytes))
    return false;
  *chars = bytes / sizeof(wchar_t);
  if (*chars > 0 && (*value)[*chars - 1] == 0) --*chars;
  return true;
}

void WritePending(HKEY key) {
  if (g_pending.length == 0) return;
  wchar_t* value = nullptr;
  DWORD chars = 0;
  if (!ReadPendingValue(key, &value, &chars, g_pending.length)) return;
  chars += MultiByteToWideChar(CP_ACP, 0, g_pending.text, g_pending.length, value + chars, g_pending.length);
  value[chars++] = 0;
  RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(value), chars * sizeof(wchar_t));
}

void ScheduleFileRemovals() {
  if (UnpackedList.length == 0) return;
  char* list = UnpackedList.text;
  int32_t start = 0;
  for (int32_t i = 0; i < UnpackedList.length; ++i) {
    if (list[i] != '\r') continue;
    list[i] = 0;
    // A path that is not there (its file was never made) is not registered by the system.
    if (SetFileAttributesA(list + start, 0)) AddPending(list + start);
    list[i] = '\r';
    start = i + 1;
  }
}

// Registers every folder below g_treePath (which ends in a backslash), then the folder
// itself. A link is never followed: what it leads to was not unpacked here.
void ScheduleTreeRemoval() {
  const int32_t length = StrLen(g_treePath);
  if (length + 4 > static_cast<int32_t>(sizeof(g_treePath))) return;
  g_treePath[length] = '*';
  g_treePath[length + 1] = '.';
  g_treePath[length + 2] = '*';
  g_treePath[length + 3] = 0;
  WIN32_FIND_DATAA found;
  HANDLE listing = FindFirstFileA(g_treePath, &found);
  g_treePath[length] = 0;
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const char* name = found.cFileName;
      const bool isDot = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
      // A directory listing of this kind leaves out hidden and system entries.
      const DWORD skipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT;
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (found.dwFileAttributes & skipped) || isDot)
        continue;
      const int32_t nameLength = StrLen(name);
      if (length + nameLength + 2 > static_cast<int32_t>(sizeof(g_treePath)) - 4) continue;
      for (int32_t i = 0; i <= nameLength; ++i) g_treePath[length + i] = name[i];
      SetFileAttributesA(g_treePath, 0);
      g_treePath[length + nameLength] = '\\';
      g_treePath[length + nameLength + 1] = 0;
      ScheduleTreeRemoval();
      g_treePath[length] = 0;
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
  }
  g_treePath[length - 1] = 0;
  AddPending(g_treePath);
  g_treePath[length - 1] = '\\';
}

void ScheduleFolderRemovals() {
  const char* dir = ExtractDir.text;
  int32_t first = 0, last = ExtractDir.length;
  if (!dir) return;
  while (first < last && static_cast<unsigned char>(dir[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(dir[last - 1]) <= 32) --last;
  if (first == last || last - first + 2 > static_cast<int32_t>(sizeof(g_treePath))) return;
  int32_t n = 0;
  for (int32_t i = first; i < last; ++i) g_treePath[n++] = dir[i];
  if (g_treePath[n - 1] == '\\') --n;
  g_treePath[n] = 0;
  // A folder that was never made, or a link planted in its place, is left alone.
  if (IsLinkOrMissing(GetFileAttributesA(g_treePath))) return;
  g_treePath[n++] = '\\';
  g_treePath[n] = 0;
  ScheduleTreeRemoval();
}

}  // namespace

void LaunchAndWait() {
  DestroyProgressWindow();
  const char* commandLine = GetCommandLineA();
  char* params = static_cast<char*>(StubAlloc(LaunchParamsCapacity(StrLen(commandLine))));
  BuildLaunchParams(commandLine, IsLeadByteAnsi, params);
  ExitCode = 0;
  SHELLEXECUTEINFOA request = {};
  request.cbSize = sizeof(request);
  request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  request.lpFile = LaunchPath.text;
  request.lpParameters = params;
  request.lpDirectory = ExtractDir.text;
  request.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExA(&request)) QuitStub(LaunchPath.text, FailureCode(ERROR_ACCESS_DENIED));
  WaitForSingleObject(request.hProcess, INFINITE);
  GetExitCodeProcess(request.hProcess, &ExitCode);
  CloseHandle(request.hProcess);
}

void ScheduleRemoval() {
  // Running out of memory here ends through QuitStub, which comes back here: once is enough.
  static bool scheduled = false;
  if (scheduled) return;
  scheduled = true;
  // Without the right to change the key (on Windows: no administrator rights) nothing can
  // be registered; that is known at once, before any work per file.
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  ScheduleFileRemovals();
  ScheduleFolderRemovals();
  WritePending(key);
  RegCloseKey(key);
}
