#include "application_win32.h"

namespace {

const char kApplicationClass[] = "TKesdraApplication";
const char kLabelColorProp[] = "KesdraLabelColor";
const char kLinkProp[] = "KesdraLink";

HWND g_application = nullptr;
HWND g_mainWindow = nullptr;

LRESULT CALLBACK ApplicationProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// The window under the mouse or owning the key: is it `form` or one of its controls?
bool BelongsTo(HWND form, HWND window) { return window == form || IsChild(form, window); }

bool IsKeyPress(UINT message) { return message == WM_KEYDOWN || message == WM_SYSKEYDOWN; }

void Dispatch(MSG& msg, HWND form, const KeyPreview& keyPreview) {
  if (form && IsKeyPress(msg.message) && BelongsTo(form, msg.hwnd) && keyPreview &&
      keyPreview(msg.message, msg.wParam))
    return;
  if (form && IsWindow(form) && IsDialogMessageA(form, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

int g_dpi = 0;

void RegisterFormClass(const char* className, WNDPROC proc) {
  WNDCLASSA cls = {};
  cls.hInstance = GetModuleHandleA(nullptr);
  if (GetClassInfoA(cls.hInstance, className, &cls)) return;
  cls.lpfnWndProc = proc;
  cls.hIcon = LoadIconA(cls.hInstance, "MAINICON");
  cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
  cls.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  cls.lpszClassName = className;
  RegisterClassA(&cls);
}

}  // namespace

bool Form::CreateForm(const char* className, const char* caption, DWORD style, DWORD exStyle, HWND owner) {
  RegisterFormClass(className, Proc);
  return CreateWindowExA(exStyle, className, caption, style, 0, 0, 1, 1, owner, nullptr, GetModuleHandleA(nullptr),
                         this) != nullptr;
}

LRESULT Form::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window_, message, wParam, lParam);
}

LRESULT CALLBACK Form::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<Form*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    form->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<Form*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!form) return DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  return form->HandleMessage(message, wParam, lParam);
}

void FocusKeeper::Restore() const {
  if (focus_ && IsWindow(focus_) && IsWindowEnabled(focus_) && IsWindowVisible(focus_)) SetFocus(focus_);
}

HWND ApplicationWindow() {
  if (g_application) return g_application;
  WNDCLASSA cls = {};
  cls.lpfnWndProc = ApplicationProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = kApplicationClass;
  cls.hIcon = LoadIconA(cls.hInstance, "MAINICON");
  RegisterClassA(&cls);
  // Zero-sized at the screen centre: boxes it owns open on the screen it stands on.
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2, y = GetSystemMetrics(SM_CYSCREEN) / 2;
  g_application = CreateWindowExA(0, kApplicationClass, "Kesdra", WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS |
                                  WS_SYSMENU | WS_MINIMIZEBOX, x, y, 0, 0, nullptr, nullptr, cls.hInstance, nullptr);
  return g_application;
}

HWND MainWindowHandle() { return g_mainWindow; }
void SetMainWindowHandle(HWND window) { g_mainWindow = window; }

void SetApplicationTitle(const std::string& title) { SetWindowTextA(ApplicationWindow(), title.c_str()); }
std::string ApplicationTitle() { return WindowText(ApplicationWindow()); }

void ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void TerminateApplication() { PostQuitMessage(0); }

namespace {

struct DisableWalk {
  HWND except;
  std::vector<HWND> disabled;
};

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM data) {
  auto* walk = reinterpret_cast<DisableWalk*>(data);
  if (window != walk->except && IsWindowVisible(window) && IsWindowEnabled(window)) walk->disabled.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> DisableTaskWindows(HWND except) {
  DisableWalk walk{except, {}};
  EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindow, reinterpret_cast<LPARAM>(&walk));
  for (HWND window : walk.disabled) EnableWindow(window, FALSE);
  return walk.disabled;
}

void EnableTaskWindows(const std::vector<HWND>& windows) {
  for (HWND window : windows)
    if (IsWindow(window)) EnableWindow(window, TRUE);
}

int RunMessageLoop(HWND mainWindow, const KeyPreview& keyPreview) {
  MSG msg;
  for (;;) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) return 0;
    if (got == -1) return 1;
    Dispatch(msg, mainWindow, keyPreview);
  }
}

int RunModal(HWND form, HWND initialFocus, int* modalResult, const KeyPreview& keyPreview) {
  HWND previouslyActive = GetActiveWindow();
  const FocusKeeper focus;
  const std::vector<HWND> disabled = DisableTaskWindows(form);
  *modalResult = 0;
  ShowWindow(form, SW_SHOW);
  SetForegroundWindow(form);
  if (initialFocus) SetFocus(initialFocus);
  MSG msg;
  while (*modalResult == 0 && IsWindow(form)) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // the main loop still has to see it
      break;
    }
    if (got == -1) break;
    Dispatch(msg, form, keyPreview);
  }
  // Re-enable before hiding, so that activation passes back to the owner and not elsewhere.
  EnableTaskWindows(disabled);
  if (IsWindow(form)) ShowWindow(form, SW_HIDE);
  if (previouslyActive && IsWindow(previouslyActive)) SetActiveWindow(previouslyActive);
  focus.Restore();
  return *modalResult;
}

int ScaleToDpi(int pixels96) {
  if (g_dpi == 0) {
    HDC screen = GetDC(nullptr);
    g_dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (g_dpi <= 0) g_dpi = 96;
  }
  return MulDiv(pixels96, g_dpi, 96);
}

HFONT CreateUiFont(const char* face, int height96, bool bold, bool underline, bool fixedPitch) {
  return CreateFontA(-ScaleToDpi(height96), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, underline, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     fixedPitch ? FIXED_PITCH | FF_MODERN : DEFAULT_PITCH,
                     face ? face : "");
}

void PlaceCentred(HWND window, int clientWidth96, int clientHeight96, HWND over) {
  RECT frame = {0, 0, ScaleToDpi(clientWidth96), ScaleToDpi(clientHeight96)};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE)));
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  RECT area;
  if (over && IsWindowVisible(over)) {
    GetWindowRect(over, &area);
  } else {
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    GetMonitorInfoA(MonitorFromWindow(over ? over : ApplicationWindow(), MONITOR_DEFAULTTOPRIMARY), &info);
    area = info.rcWork;
  }
  const int x = area.left + (area.right - area.left - width) / 2;
  const int y = area.top + (area.bottom - area.top - height) / 2;
  SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND CreateChild(HWND parent, const char* className, const std::string& text, DWORD style, DWORD exStyle, int id,
                 int left96, int top96, int width96, int height96, HFONT font) {
  HWND child = CreateWindowExA(exStyle, className, text.c_str(), WS_CHILD | style, ScaleToDpi(left96),
                               ScaleToDpi(top96), ScaleToDpi(width96), ScaleToDpi(height96), parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
  if (child && font) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return child;
}

HWND CreateLabel(HWND parent, int id, const std::string& text, int left96, int top96, HFONT font) {
  HWND label = CreateChild(parent, "STATIC", text, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, id, left96, top96, 1, 1, font);
  SizeLabelToText(label);
  return label;
}

HWND CreateLinkLabel(HWND parent, int id, const std::string& text, int left96, int top96, HFONT font,
                     COLORREF color) {
  HWND label = CreateLabel(parent, id, text, left96, top96, font);
  SetWindowLongPtrA(label, GWL_STYLE, GetWindowLongPtrA(label, GWL_STYLE) | SS_NOTIFY);
  SetPropA(label, kLinkProp, reinterpret_cast<HANDLE>(1));
  SetLabelColor(label, color);
  return label;
}

// The colour is kept one above its value, so that black differs from "none".
void SetLabelColor(HWND label, COLORREF color) {
  SetPropA(label, kLabelColorProp, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(color) + 1));
}

void SizeLabelToText(HWND label) {
  const std::string text = WindowText(label);
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0)));
  RECT bounds = {0, 0, 0, 0};
  DrawTextA(dc, text.empty() ? " " : text.c_str(), -1, &bounds, DT_CALCRECT | DT_NOPREFIX | DT_SINGLELINE);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  SetWindowPos(label, nullptr, 0, 0, text.empty() ? 0 : bounds.right, bounds.bottom,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool HandleLabelMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message == WM_CTLCOLORSTATIC) {
    HWND label = reinterpret_cast<HWND>(lParam);
    if (!GetPropA(label, kLabelColorProp)) return false;
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, static_cast<COLORREF>(reinterpret_cast<INT_PTR>(GetPropA(label, kLabelColorProp)) - 1));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    *result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    return true;
  }
  if (message == WM_SETCURSOR && GetPropA(reinterpret_cast<HWND>(wParam), kLinkProp)) {
    SetCursor(LoadCursor(nullptr, IDC_HAND));
    *result = TRUE;
    return true;
  }
  return false;
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(window, &text[0], length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}
