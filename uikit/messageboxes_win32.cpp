#include <windows.h>

#include <vector>

#include "application_win32.h"
#include "messageboxes.h"
#include "u_captions.h"

namespace {

// Top-most windows of the program are lifted while a box is up, or the box could open
// behind them. Boxes nest, so only the outermost one lifts and restores.
int g_liftDepth = 0;
std::vector<HWND> g_lifted;

BOOL CALLBACK LiftIfTopMost(HWND window, LPARAM) {
  const bool topMost = (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  if (topMost && window != MainWindowHandle() && window != ApplicationWindow()) {
    g_lifted.push_back(window);
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  return TRUE;
}

void LiftTopMosts() {
  if (g_liftDepth++ > 0) return;
  EnumThreadWindows(GetCurrentThreadId(), LiftIfTopMost, 0);
}

void RestoreTopMosts() {
  if (g_liftDepth == 0 || --g_liftDepth > 0) return;
  for (auto it = g_lifted.rbegin(); it != g_lifted.rend(); ++it)
    if (IsWindow(*it)) SetWindowPos(*it, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  g_lifted.clear();
}

// The box opens on the owner's monitor: bring the (invisible) application window to the
// monitor the user works on. Returns whether it moved, and where it stood.
bool MoveOwnerToActiveMonitor(HWND owner, HWND active, RECT* previous) {
  if (!active) return false;
  HMONITOR activeMonitor = MonitorFromWindow(active, MONITOR_DEFAULTTONEAREST);
  if (activeMonitor == MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST)) return false;
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  if (!GetMonitorInfoA(activeMonitor, &info)) return false;
  GetWindowRect(owner, previous);
  const int width = previous->right - previous->left, height = previous->bottom - previous->top;
  const int x = info.rcWork.left + (info.rcWork.right - info.rcWork.left - width) / 2;
  const int y = info.rcWork.top + (info.rcWork.bottom - info.rcWork.top - height) / 2;
  SetWindowPos(owner, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

int ShowBox(const std::string& message, const char* caption, UINT style) {
  LiftTopMosts();
  HWND owner = ApplicationWindow();
  HWND active = GetActiveWindow();
  HWND focus = GetFocus();
  RECT ownerWas = {};
  const bool moved = MoveOwnerToActiveMonitor(owner, active, &ownerWas);
  const std::vector<HWND> disabled = DisableTaskWindows(owner);
  const int answer = MessageBoxA(owner, message.c_str(), caption, style);
  EnableTaskWindows(disabled);
  if (moved) SetWindowPos(owner, nullptr, ownerWas.left, ownerWas.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (active && IsWindow(active)) SetActiveWindow(active);
  if (focus && IsWindow(focus)) SetFocus(focus);
  RestoreTopMosts();
  return answer;
}

}  // namespace

void ShowError(const std::string& message) {
  ShowBox(message, Captions[CurrentLanguage].ErrorCaption, MB_OK | MB_ICONERROR);
}

void ShowInfo(const std::string& message) {
  ShowBox(message, Captions[CurrentLanguage].InfoCaption, MB_OK | MB_ICONINFORMATION);
}

bool AskYesNo(const std::string& message, bool defaultYes) {
  const UINT style = MB_YESNO | MB_ICONQUESTION | (defaultYes ? 0 : MB_DEFBUTTON2);
  return ShowBox(message, Captions[CurrentLanguage].ConfirmCaption, style) == IDYES;
}
