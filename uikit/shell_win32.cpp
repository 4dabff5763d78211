#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
#include "uikit/application_win32.h"
#include "uikit/dll_loading.h"
#include "uikit/shell.h"

namespace {

// VERSION.dll is no KnownDLL: loaded by name from the system folder when first needed, never
// imported (an import is resolved before WinMain could restrict where DLLs come from).
struct VersionApi {
  using SizeFn = DWORD(WINAPI*)(LPCSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);
  SizeFn size = nullptr;
  InfoFn info = nullptr;
  QueryFn query = nullptr;

  VersionApi() {
    if (HMODULE dll = LoadSystemDll("version.dll")) {
      size = reinterpret_cast<SizeFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetFileVersionInfoSizeA")));
      info = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(GetProcAddress(dll, "GetFileVersionInfoA")));
      query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(dll, "VerQueryValueA")));
    }
  }
  bool usable() const { return size && info && query; }
};

}  // namespace

std::string FileVersionText(const std::string& fileName) {
  static const VersionApi api;
  if (!api.usable()) return std::string();
  DWORD ignored = 0;
  const DWORD size = api.size(fileName.c_str(), &ignored);
  if (size == 0) return std::string();
  std::vector<char> block(size);
  if (!api.info(fileName.c_str(), 0, size, block.data())) return std::string();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!api.query(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
      fixedSize < sizeof(VS_FIXEDFILEINFO))
    return std::string();
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + '.' + std::to_string(LOWORD(fixed->dwFileVersionMS)) + '.' +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + '.' + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

namespace {

template <typename Dialog>
bool RunFileDialog(const char* name, OPENFILENAMEA* request) {
  static HMODULE dll = LoadSystemDll("comdlg32.dll");
  const auto dialog = dll ? reinterpret_cast<Dialog>(reinterpret_cast<void*>(GetProcAddress(dll, name))) : nullptr;
  return dialog && dialog(request);
}

using FileDialogFn = BOOL(WINAPI*)(OPENFILENAMEA*);

}  // namespace

bool AskOpenFileName(OPENFILENAMEA* request) { return RunFileDialog<FileDialogFn>("GetOpenFileNameA", request); }
bool AskSaveFileName(OPENFILENAMEA* request) { return RunFileDialog<FileDialogFn>("GetSaveFileNameA", request); }

std::string ModulePath() {
  char path[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

bool ShellOpen(const std::string& target) {
  if (TrimControls(target).empty()) return false;
  HINSTANCE result = ShellExecuteA(nullptr, "open", target.c_str(), "", "", SW_SHOWNORMAL);
  return reinterpret_cast<UINT_PTR>(result) > 32;
}

namespace {

int CALLBACK SelectInitialFolder(HWND dialog, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data) SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, data);
  return 0;
}

// Confirms the chosen item list into `directory`; the list is freed here.
bool TakeChosenFolder(IMalloc* shellMalloc, LPITEMIDLIST chosen, char* buffer, std::string* directory) {
  if (!chosen) return false;
  const bool converted = SHGetPathFromIDListA(chosen, buffer) != FALSE;
  shellMalloc->Free(chosen);
  if (!converted) return false;
  *directory = buffer;
  return true;
}

}  // namespace

bool BrowseForDirectory(std::string* directory) {
  if (!NativeFileSystem().DirExists(*directory)) directory->clear();
  IMalloc* shellMalloc = nullptr;
  if (FAILED(SHGetMalloc(&shellMalloc)) || !shellMalloc) return false;
  char* buffer = static_cast<char*>(shellMalloc->Alloc(MAX_PATH));
  if (!buffer) {
    shellMalloc->Release();
    return false;
  }
  buffer[0] = '\0';
  BROWSEINFOA request = {};
  request.hwndOwner = ApplicationWindow();
  request.pszDisplayName = buffer;
  request.lpszTitle = "";
  request.ulFlags = BIF_RETURNONLYFSDIRS;
  if (!directory->empty()) {
    request.lpfn = SelectInitialFolder;
    request.lParam = reinterpret_cast<LPARAM>(directory->c_str());
  }
  // An empty removable drive must not raise the system's critical-error box while browsing.
  const std::vector<HWND> disabled = DisableTaskWindows(nullptr);
  const UINT oldErrorMode = SetErrorMode(SEM_FAILCRITICALERRORS);
  LPITEMIDLIST chosen = SHBrowseForFolderA(&request);
  SetErrorMode(oldErrorMode);
  EnableTaskWindows(disabled);
  const bool confirmed = TakeChosenFolder(shellMalloc, chosen, buffer, directory);
  shellMalloc->Free(buffer);
  shellMalloc->Release();
  return confirmed;
}
