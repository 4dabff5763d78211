#include "harness.h"

#include "ui_driver.h"
#include "tests/common/produced_file.h"

#include <cstdio>
#include <fstream>

namespace harness {

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(5);
  }
}

BoxSeen ReadBox(HWND box) {
  BoxSeen seen;
  seen.caption = Text(box);
  // A message box keeps its text in the static control with id 0xFFFF.
  if (HWND text = GetDlgItem(box, 0xFFFF)) seen.text = Text(text);
  seen.yesNo = GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO);
  return seen;
}

void Answer(HWND box, int buttonId) { PostMessageA(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), 0); }

int AnswerOk(const BoxSeen& box) { return box.yesNo ? IDNO : IDOK; }

namespace {

struct WindowSearch {
  DWORD pid;
  const char* className;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<WindowSearch*>(data);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (search->pid && owner != search->pid) return TRUE;
  if (!search->className || !*search->className || lstrcmpiA(ClassOf(window).c_str(), search->className) == 0)
    search->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> WindowsOfProcess(DWORD pid, const char* className) {
  WindowSearch search{pid, className, {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}


HWND WaitForBoxOfThread(DWORD thread, HWND except, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        WindowSearch search{0, "#32770", {}};
        EnumThreadWindows(thread, CollectWindow, reinterpret_cast<LPARAM>(&search));
        for (HWND box : search.found)
          if (box != except && IsWindowVisible(box)) return (found = box) != nullptr;
        return false;
      },
      timeoutMs);
  return found;
}

RunningProgram::~RunningProgram() {
  if (!info_.hProcess) return;
  if (!Ended(0)) Kill(0xDEAD);
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

bool RunningProgram::Start(const std::string& commandLine, const std::string& workDir, HANDLE output) {
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  if (output) {
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = start.hStdError = output;
  }
  // Wine has been seen to refuse, rarely, to start a program just written; once more after a
  // pause tells that apart from a program that cannot start, and the reason is printed.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::wstring line = Wide(commandLine);
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, output != nullptr, 0, nullptr,
                       workDir.empty() ? nullptr : Wide(workDir).c_str(), &start, &info_))
      return true;
    std::printf("could not start %s: error %lu\n", commandLine.c_str(), GetLastError());
    Sleep(500);
  }
  return false;
}

bool RunningProgram::Ended(DWORD waitMs) const {
  return !info_.hProcess || WaitForSingleObject(info_.hProcess, waitMs) != WAIT_TIMEOUT;
}

DWORD RunningProgram::WaitForExit(DWORD timeoutMs) {
  if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(info_.hProcess, &code);
  return code;
}

void RunningProgram::Kill(DWORD exitCode) {
  TerminateProcess(info_.hProcess, exitCode);
  WaitForSingleObject(info_.hProcess, 5000);
}

HWND RunningProgram::WaitForWindow(const char* className, DWORD timeoutMs, const char* caption) const {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (HWND window : WindowsOfProcess(info_.dwProcessId, className))
          if (IsWindowVisible(window) && (!caption || Text(window) == caption)) return (found = window) != nullptr;
        return false;
      },
      timeoutMs);
  return found;
}

HWND RunningProgram::WaitForBox(DWORD timeoutMs) const { return WaitForWindow("#32770", timeoutMs); }

HWND RunningProgram::FocusedControl() const {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(info_.dwThreadId, &info) ? info.hwndFocus : nullptr;
}

RunResult RunAndAnswer(const std::string& commandLine, const std::string& workDir, const BoxAnswer& answer,
                       DWORD timeoutMs) {
  RunResult result;
  RunningProgram program;
  if (!program.Start(commandLine, workDir)) return result;
  result.started = true;
  const DWORD start = GetTickCount();
  std::vector<HWND> answered;
  while (!program.Ended(20)) {
    for (HWND box : WindowsOfProcess(program.Pid(), "#32770")) {
      if (!IsWindowVisible(box)) continue;
      bool seenBefore = false;
      for (HWND a : answered) seenBefore = seenBefore || a == box;
      const BoxSeen seen = ReadBox(box);
      if (!seenBefore) {
        result.boxes.push_back(seen);
        answered.push_back(box);
      }
      Answer(box, answer(seen));
    }
    if (GetTickCount() - start > timeoutMs) {
      result.timedOut = true;
      program.Kill(0xDEAD);
      break;
    }
  }
  result.exitCode = program.WaitForExit(0);
  return result;
}

std::string TempPath() {
  char base[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH, base);
  return base;
}

std::string ExtractDir(const std::string& id) { return TempPath() + "~sfx" + id + "\\"; }

std::string TempDir(const std::string& prefix) {
  static unsigned counter = 0;
  for (;;) {
    const std::string dir = TempPath() + prefix + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(++counter) + "\\";
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
  }
}

void WriteFile(const std::string& path, const std::string& data) {
  const size_t cut = path.find_last_of('\\');
  if (cut != std::string::npos) {
    for (size_t i = path.find('\\', 3); i != std::string::npos && i <= cut; i = path.find('\\', i + 1))
      CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
  }
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const std::string& path) { return produced::ReadBytes(path); }

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = fd.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = dir + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path + "\\");
      else DeleteFileA(path.c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

std::string ProgramDir() {
  char path[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.find_last_of('\\') + 1);
}

std::string ShippedDir() {
  char native[8] = {};
  GetEnvironmentVariableA("KESDRA_I386_NATIVE", native, sizeof native);
  const std::string shipped = ProgramDir() + "..\\win-i686\\";
  return std::string(native) == "1" && Exists(shipped + "sfxhead.exe") ? shipped : ProgramDir();
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(Wide(name)), old_(32767, L'\0') {
  SetLastError(0);  // an empty value leaves the error as it was
  const DWORD n = GetEnvironmentVariableW(name_.c_str(), &old_[0], static_cast<DWORD>(old_.size()));
  had_ = n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  old_.resize(n);
  SetEnvironmentVariableW(name_.c_str(), value ? Wide(value).c_str() : nullptr);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }

std::string Quote(const std::string& arg) { return "\"" + arg + "\""; }

std::string UnixPath(const std::string& windowsPath) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName ? unixName(Wide(windowsPath).c_str()) : nullptr;
  const std::string result = name ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

bool StartLinuxProgram(const std::string& path, const std::string& arguments) {
  std::string line = path.substr(path.find_last_of('/') + 1) + " " + arguments;
  std::string program = "Z:" + path;
  for (char& c : program) c = c == '/' ? '\\' : c;
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &info))
    return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

bool RunLinuxProgram(const std::string& path, const std::string& arguments, const std::function<bool()>& done) {
  return StartLinuxProgram(path, arguments) && WaitUntil(done, 5000);
}

RunResult RunKesdra(const std::string& args) { return RunAndAnswer(Quote(ProgramDir() + "kesdra.exe") + " " + args); }

std::wstring Wide(const std::string& utf8) {
  std::wstring wide(utf8.size() + 1, L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], static_cast<int>(wide.size())) - 1);
  return wide;
}

}  // namespace harness
