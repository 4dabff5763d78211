#include "ui_driver.h"

namespace ui {

namespace {

struct TopSearch {
  DWORD pid;
  const char* className;
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TopSearch*>(data);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->pid || !IsWindowVisible(window)) return TRUE;
  if (ClassOf(window) != search->className) return TRUE;
  if (search->caption && Text(window) != search->caption) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

RunningProgram::~RunningProgram() {
  if (!info_.hProcess) return;
  if (Running()) {
    TerminateProcess(info_.hProcess, 0xDEAD);
    WaitForSingleObject(info_.hProcess, 5000);
  }
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

bool RunningProgram::Start(const std::string& commandLine, const std::string& workDir) {
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  std::string line = commandLine;
  return CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &start, &info_) != FALSE;
}

bool RunningProgram::Running() const {
  return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD RunningProgram::WaitForExit(DWORD timeoutMs) {
  if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(info_.hProcess, &code);
  return code;
}

HWND RunningProgram::WaitForWindow(const char* className, DWORD timeoutMs, const char* caption) const {
  TopSearch search{info_.dwProcessId, className, caption, nullptr};
  WaitUntil(
      [&] {
        EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      timeoutMs);
  return search.found;
}

HWND RunningProgram::WaitForBox(DWORD timeoutMs) const { return WaitForWindow("#32770", timeoutMs); }

HWND RunningProgram::FocusedControl() const {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(info_.dwThreadId, &info) ? info.hwndFocus : nullptr;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(5);
  }
}

std::vector<HWND> Children(HWND parent, const char* className) {
  std::vector<HWND> found;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (!className || lstrcmpiA(ClassOf(child).c_str(), className) == 0) found.push_back(child);
  return found;
}

HWND ChildWithText(HWND parent, const char* className, const std::string& text) {
  for (HWND child : Children(parent, className))
    if (Text(child) == text) return child;
  return nullptr;
}

std::string Text(HWND window) {
  const LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const LRESULT got = SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(static_cast<size_t>(got));
  return text;
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

void SetText(HWND control, const std::string& text) {
  SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

RECT RectInParent(HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

SIZE ClientSize(HWND window) {
  RECT rect;
  GetClientRect(window, &rect);
  return SIZE{rect.right, rect.bottom};
}

void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

void ClickLabel(HWND label) {
  PostMessageA(label, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  PostMessageA(label, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

void PressKey(HWND target, UINT virtualKey) {
  const UINT scan = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
  PostMessageA(target, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
  PostMessageA(target, WM_KEYUP, virtualKey, 1 | (scan << 16) | (3u << 30));
}

void TypeKeys(const std::vector<WORD>& downKeys) {
  std::vector<INPUT> inputs;
  for (WORD key : downKeys) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = key;
    inputs.push_back(in);
  }
  for (auto it = downKeys.rbegin(); it != downKeys.rend(); ++it) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = *it;
    in.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(in);
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

Box ReadBox(HWND box) {
  Box seen;
  seen.caption = Text(box);
  if (HWND text = GetDlgItem(box, 0xFFFF)) seen.text = Text(text);
  seen.yesNo = GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO);
  return seen;
}

void Answer(HWND box, int buttonId) { PostMessageA(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), 0); }

int Scaled(int pixels96) {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return MulDiv(pixels96, dpi > 0 ? dpi : 96, 96);
}

}  // namespace ui
