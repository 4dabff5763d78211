#include "ui_driver.h"

#include "harness.h"

namespace harness {

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
  DWORD_PTR length = 0, got = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 5000, &length)) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_BLOCK, 5000, &got))
    return std::string();
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

bool SendRealKeys(HWND window, const std::string& keys) {
  SetForegroundWindow(window);
  WaitUntil([&] { return GetForegroundWindow() == window; }, 3000);
  // Wine gives the X focus to its foreground window: the keys go there.
  return StartLinuxProgram("/usr/bin/xdotool", "key --delay 40 " + keys);
}

bool SendRealKeysUntil(HWND window, const std::string& keys, const std::function<bool()>& done) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!SendRealKeys(window, keys)) return false;
    if (WaitUntil(done, 4000)) return true;
  }
  return false;
}

int Scaled(int pixels96) {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return MulDiv(pixels96, dpi > 0 ? dpi : 96, 96);
}

}  // namespace harness
