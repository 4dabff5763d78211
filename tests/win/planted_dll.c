/* Planted beside a program under the name of a DLL it (or the system code it calls) loads by
   name: when loaded, leaves "<its own path>.loaded" beside itself. It also answers the three
   calls a static importer of version.dll resolves, so that such a loader gets as far as
   DllMain. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      lstrcpyA(path + length, ".loaded");
      HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}

__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
  (void)name, (void)handle;
  return 0;
}
__declspec(dllexport) BOOL WINAPI GetFileVersionInfoA(LPCSTR name, DWORD handle, DWORD size, LPVOID data) {
  (void)name, (void)handle, (void)size, (void)data;
  return FALSE;
}
__declspec(dllexport) BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR sub, LPVOID* buffer, PUINT length) {
  (void)block, (void)sub, (void)buffer, (void)length;
  return FALSE;
}
