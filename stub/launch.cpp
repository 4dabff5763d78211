// Launch, wait and clean-up: the marked file started through the shell with the stub's
// parameters, then the extraction folder deleted, or what cannot go yet registered for
// deletion at the next restart.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "stub/launch_params.h"
#include "stub/stub_state.h"

#if !defined(_WIN64)
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "the launch request is the 60-byte record");
#endif

namespace {

// The stub and everything started from the extraction folder: a program the launched one
// starts belongs to it too, so the job tells whether any of them still runs.
HANDLE g_job;

// Shared by every level of the tree walk.
wchar_t g_treePath[kPathRoom];

// Restart-time deletions as the system keeps them: pairs of "\??\" + path and an empty new
// name, in the Session Manager's PendingFileRenameOperations. One call per path would
// rewrite the whole value each time (quadratic in the number of files); the stub gathers
// its pairs here and writes the value once, appended to what is there already. Only an
// administrator may change it; for anyone else the folder stays where it cannot be deleted.
const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
StubString g_pending;
wchar_t* g_existing;     // the value as it was, its closing empty string dropped
DWORD g_existingLength;  // in units

bool Equal(const wchar_t* a, const wchar_t* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// A path already registered, by this run or an earlier one, is not registered again: a
// value that only grows makes other installers believe a restart is pending.
void AddPending(const wchar_t* path) {
  for (DWORD at = 0; at < g_existingLength;) {
    const wchar_t* from = g_existing + at;
    if (from[0] == '\\' && from[1] == '?' && from[2] == '?' && from[3] == '\\' && Equal(from + 4, path)) return;
    at += StrLen(from) + 1;
  }
  StrAppendZ(&g_pending, L"\\??\\");
  StrAppend(&g_pending, path, StrLen(path) + 1);
  StrAppendChar(&g_pending, 0);
}

// False when the value is there but not a string list: the system would not add to it either.
bool ReadPendingValue(HKEY key) {
  DWORD type = 0, bytes = 0;
  const LONG asked = RegQueryValueExW(key, kPendingValue, nullptr, &type, nullptr, &bytes);
  if (asked == ERROR_FILE_NOT_FOUND) bytes = 0;
  else if (asked != ERROR_SUCCESS || type != REG_MULTI_SZ) return false;
  g_existing = static_cast<wchar_t*>(StubAlloc(bytes + 2 * sizeof(wchar_t)));
  if (bytes > 0 && RegQueryValueExW(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(g_existing), &bytes))
    return false;
  g_existingLength = bytes / sizeof(wchar_t);
  g_existing[g_existingLength] = 0;
  if (g_existingLength > 0 && g_existing[g_existingLength - 1] == 0) --g_existingLength;
  return true;
}

void WritePending(HKEY key) {
  if (g_pending.length == 0) return;
  StubString value = {};
  StrAppend(&value, g_existing, g_existingLength);
  StrAppend(&value, g_pending.text, g_pending.length + 1);
  RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(value.text),
                 value.length * sizeof(wchar_t));
}

// Deletes (or, with `registering`, registers) everything below g_treePath, which ends in a
// backslash, each folder after what it holds, then the folder itself. Attributes are
// cleared first: a read-only file could not be deleted, now or at the restart. A link is
// removed itself and never followed: what it leads to was not unpacked here. True when
// everything is gone.
bool ClearTree(bool registering) {
  const int32_t length = StrLen(g_treePath);
  bool gone = true;
  if (length + 4 > kPathRoom) return false;
  g_treePath[length] = '*';
  g_treePath[length + 1] = 0;
  WIN32_FIND_DATAW found;
  HANDLE listing = FindFirstFileW(g_treePath, &found);
  g_treePath[length] = 0;
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const wchar_t* name = found.cFileName;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      const int32_t nameLength = StrLen(name);
      if (length + nameLength + 2 > kPathRoom - 4) {
        gone = false;
        continue;
      }
      for (int32_t i = 0; i <= nameLength; ++i) g_treePath[length + i] = name[i];
      SetFileAttributesW(g_treePath, FILE_ATTRIBUTE_NORMAL);
      const DWORD kind = found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
      if (kind == FILE_ATTRIBUTE_DIRECTORY) {
        g_treePath[length + nameLength] = '\\';
        g_treePath[length + nameLength + 1] = 0;
        gone &= ClearTree(registering);
      } else if (registering) {
        AddPending(g_treePath);
      } else if (!(kind ? RemoveDirectoryW(g_treePath) : DeleteFileW(g_treePath)) &&
                 !(kind && DeleteFileW(g_treePath))) {
        gone = false;
      }
      g_treePath[length] = 0;
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
  }
  g_treePath[length - 1] = 0;
  if (registering) AddPending(g_treePath);
  else gone = RemoveDirectoryW(g_treePath) != 0;
  g_treePath[length - 1] = '\\';
  return gone;
}

// True while a process started from the extraction folder still runs. Without a job (the
// system refused one) nothing is known: the deletion then spares what is in use.
bool ChildrenRunning() {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
  return g_job && QueryInformationJobObject(g_job, JobObjectBasicAccountingInformation, &info, sizeof(info), nullptr) &&
         info.ActiveProcesses > 1;
}

}  // namespace

void LaunchAndWait() {
  DestroyProgressWindow();
  const wchar_t* commandLine = GetCommandLineW();
  wchar_t* params = static_cast<wchar_t*>(StubAlloc(LaunchParamsCapacity(StrLen(commandLine)) * sizeof(wchar_t)));
  BuildLaunchParams(commandLine, params);
  // Started from a console (a script, a build), a console program launched from here
  // writes into that console instead of a window of its own.
  AttachConsole(ATTACH_PARENT_PROCESS);
  // The shell may hand the request to COM objects, which need the thread initialised.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  g_job = CreateJobObjectW(nullptr, nullptr);
  if (g_job && !AssignProcessToJobObject(g_job, GetCurrentProcess())) {
    CloseHandle(g_job);
    g_job = nullptr;
  }
  ExitCode = 0;
  SHELLEXECUTEINFOW request = {};
  request.cbSize = sizeof(request);
  request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
  request.lpFile = LaunchPath.text;
  request.lpParameters = params;
  request.lpDirectory = ExtractDir.text;
  request.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&request)) QuitStub(LaunchPath.text, FailureCode(ERROR_ACCESS_DENIED));
  WaitForSingleObject(request.hProcess, INFINITE);
  GetExitCodeProcess(request.hProcess, &ExitCode);
  CloseHandle(request.hProcess);
}

void RemoveExtracted() {
  // Running out of memory here ends through QuitStub, which comes back here: once is enough.
  static bool removing = false;
  if (removing || !ExtractDirMade) return;
  removing = true;
  CloseOpenEntry();
  if (!ChildrenRunning()) {
    // A program that has just ended may still be closing its files for a moment.
    for (int attempt = 0; attempt < 10; ++attempt) {
      for (int32_t i = 0; i <= ExtractDir.length; ++i) g_treePath[i] = ExtractDir.text[i];
      if (ClearTree(false)) return;
      Sleep(50);
    }
  }
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  if (ReadPendingValue(key)) {
    for (int32_t i = 0; i <= ExtractDir.length; ++i) g_treePath[i] = ExtractDir.text[i];
    ClearTree(true);
    WritePending(key);
  }
  RegCloseKey(key);
}
