#include "harness.h"

#include <fstream>
#include <sstream>

namespace harness {

int AnswerOk(const BoxSeen& box) {
  const DWORD buttons = box.style & MB_TYPEMASK;
  if (buttons == MB_YESNO || buttons == MB_YESNOCANCEL) return IDNO;
  return IDOK;
}

BoxSeen ReadBox(HWND box) {
  BoxSeen seen;
  char text[4096] = {};
  GetWindowTextA(box, text, sizeof text);
  seen.caption = text;
  text[0] = 0;
  // A message box keeps its text in the static control with id 0xFFFF.
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  seen.text = text;
  // The buttons it shows tell what kind of box it is.
  if (GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO)) seen.style = MB_YESNO;
  else seen.style = MB_OK;
  return seen;
}

std::vector<HWND> WindowsOfProcess(DWORD pid, const char* className) {
  struct Search {
    DWORD pid;
    const char* className;
    std::vector<HWND> found;
  } search{pid, className, {}};
  EnumWindows(
      [](HWND w, LPARAM p) CALLBACK -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner != s->pid) return TRUE;
        char cls[256] = {};
        GetClassNameA(w, cls, sizeof cls);
        if (!s->className || !*s->className || lstrcmpiA(cls, s->className) == 0) s->found.push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

RunResult RunAndAnswer(const std::string& commandLine, const std::string& workDir, const BoxAnswer& answer,
                       DWORD timeoutMs) {
  RunResult result;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string cmd = commandLine;
  if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                      workDir.empty() ? nullptr : workDir.c_str(), &si, &pi))
    return result;
  result.started = true;
  const DWORD start = GetTickCount();
  std::vector<HWND> answered;
  while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
    for (HWND box : WindowsOfProcess(pi.dwProcessId, "#32770")) {
      if (!IsWindowVisible(box)) continue;
      bool seenBefore = false;
      for (HWND a : answered) seenBefore = seenBefore || a == box;
      const BoxSeen seen = ReadBox(box);
      if (!seenBefore) {
        result.boxes.push_back(seen);
        answered.push_back(box);
      }
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer(seen), BN_CLICKED), 0);
    }
    if (GetTickCount() - start > timeoutMs) {
      result.timedOut = true;
      TerminateProcess(pi.hProcess, 0xDEAD);
      WaitForSingleObject(pi.hProcess, 5000);
      break;
    }
  }
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return result;
}

std::string TempDir(const std::string& prefix) {
  char base[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH, base);
  static unsigned counter = 0;
  for (;;) {
    const std::string dir = std::string(base) + prefix + std::to_string(GetCurrentProcessId()) + "-" +
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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

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

std::string Quote(const std::string& arg) { return "\"" + arg + "\""; }

}  // namespace harness
