#include "uikit/dll_loading.h"

#include <cstring>

namespace {

constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
// True once SetDefaultDllDirectories has taken: LoadLibraryEx then knows kSearchSystem32.
bool g_searchFlagsKnown = false;

// What the shell, the common dialogs, COM and the themed window code load by name after
// start-up; none of them is a KnownDLL.
const char* const kLaterDlls[] = {"uxtheme.dll", "userenv.dll", "setupapi.dll", "apphelp.dll", "propsys.dll",
                                  "dwmapi.dll",  "cryptbase.dll", "oleacc.dll", "clbcatq.dll", "version.dll",
                                  "msimg32.dll"};

}  // namespace

void RestrictDllSearchToSystem() {
  // Windows 7 without update KB2533623 lacks SetDefaultDllDirectories: there the current
  // folder at least leaves the search.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  g_searchFlagsKnown = setDefault && setDefault(kSearchSystem32);
  if (!g_searchFlagsKnown) SetDllDirectoryA("");
  for (const char* name : kLaterDlls) LoadSystemDll(name);
}

HMODULE LoadSystemDll(const char* name) {
  if (g_searchFlagsKnown) return LoadLibraryExA(name, nullptr, kSearchSystem32);
  char path[MAX_PATH];
  const size_t length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + 1 + std::strlen(name) >= MAX_PATH) return nullptr;
  path[length] = '\\';
  std::strcpy(path + length + 1, name);
  return LoadLibraryA(path);
}
