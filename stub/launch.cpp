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

void ScheduleFileRemovals() {
  if (UnpackedList.length == 0) return;
  char* list = UnpackedList.text;
  int32_t start = 0;
  for (int32_t i = 0; i < UnpackedList.length; ++i) {
    if (list[i] != '\r') continue;
    list[i] = 0;
    SetFileAttributesA(list + start, 0);
    MoveFileExA(list + start, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    list[i] = '\r';
    start = i + 1;
  }
}

// Registers every folder below g_treePath (which ends in a backslash), then the folder itself.
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
      const DWORD skipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
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
  MoveFileExA(g_treePath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
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
  if (g_treePath[n - 1] != '\\') g_treePath[n++] = '\\';
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
  ScheduleFileRemovals();
  ScheduleFolderRemovals();
}
