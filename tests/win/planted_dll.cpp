// A library planted next to a produced file under the name of one that the system loads by
// name: when loaded, it leaves its path in the file named by KESDRA_PLANTED_MARKER.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char marker[MAX_PATH + 1] = {};
  char name[MAX_PATH + 1] = {};
  if (!GetEnvironmentVariableA("KESDRA_PLANTED_MARKER", marker, MAX_PATH)) return TRUE;
  const DWORD length = GetModuleFileNameA(self, name, MAX_PATH);
  HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, name, length, &written, nullptr);
    CloseHandle(file);
  }
  return TRUE;
}
