// The progress window: a borderless 320 x 96 tool window in the middle of the screen with
// the title, the wait line, the maker's web address and a bar with its percentage. It is
// served only where the stub calls PumpMessages and UpdateProgress.
#include <windows.h>

#include "stub/progress_math.h"
#include "stub/stub_state.h"
#include "stub/u_translations.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 96;
constexpr UINT kWebAddressId = 1;  // string resource in sfxhead.rc
const char kClassName[] = "tarvexwindowclass";

// The stub's own module, as the linker places it: one import fewer than GetModuleHandleA.
extern "C" IMAGE_DOS_HEADER __ImageBase;
HINSTANCE OwnModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

HWND g_window = nullptr;
HFONT g_largeFont = nullptr;
HFONT g_smallFont = nullptr;
// The bar as last painted (see BarLook); 0 before the first paint, which no bar looks like.
int g_paintedLook = 0;

HFONT CreateWindowFont(int height) {
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
}

int TextWidth(HDC dc, const char* text, int length) {
  SIZE size = {0, 0};
  GetTextExtentPoint32A(dc, text, length, &size);
  return size.cx;
}

void PaintTexts(HDC dc) {
  static char webAddress[128];
  const int webLength = LoadStringA(OwnModule(), kWebAddressId, webAddress, sizeof(webAddress));
  SelectObject(dc, g_smallFont);
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  TextOutA(dc, kWidth - TextWidth(dc, webAddress, webLength) - 8, 4, webAddress, webLength);

  SelectObject(dc, g_largeFont);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  const char* title = TitleText(LanguageIndex);
  TextOutA(dc, 16, 12, title, StrLen(title));
  static char waitLine[64];
  const char* wait = WaitText(LanguageIndex);
  int n = 0;
  while (wait[n] && n < 56) waitLine[n] = wait[n], ++n;
  for (int i = 0; i < 3; ++i) waitLine[n++] = '.';
  TextOutA(dc, 16, 32, waitLine, n);
}

// What the bar shows, as one number: the filled part's right end and the percentage.
int BarLook() {
  const float fraction = ProgressFraction(DoneSize, TotalSize);
  return ProgressBarEnd(fraction) << 8 | ProgressPercent(fraction);
}

void PaintBar(HDC dc) {
  g_paintedLook = BarLook();
  char label[8];
  const int labelLength = FormatPercentLabel(g_paintedLook & 0xFF, label);
  const int barEnd = g_paintedLook >> 8;
  const int labelLeft = kBarLeft + (kBarWidth - TextWidth(dc, label, labelLength)) / 2;

  RECT frame = {0, 0, kWidth, kHeight};
  DrawEdge(dc, &frame, EDGE_RAISED, BF_RECT);
  RECT well = {kBarLeft - 2, kBarTop - 2, kBarRight + 2, kBarBottom + 2};
  DrawEdge(dc, &well, EDGE_SUNKEN, BF_RECT);

  // The same centred label twice, each clipped to its part: window colour over the filled
  // part, caption colour over the rest.
  RECT filled = {kBarLeft, kBarTop, barEnd, kBarBottom};
  SetBkColor(dc, GetSysColor(COLOR_ACTIVECAPTION));
  SetTextColor(dc, GetSysColor(COLOR_WINDOW));
  ExtTextOutA(dc, labelLeft, kBarTop + 2, ETO_OPAQUE | ETO_CLIPPED, &filled, label, labelLength, nullptr);
  RECT empty = {barEnd, kBarTop, kBarRight, kBarBottom};
  SetBkColor(dc, GetSysColor(COLOR_WINDOW));
  SetTextColor(dc, GetSysColor(COLOR_ACTIVECAPTION));
  ExtTextOutA(dc, labelLeft, kBarTop + 2, ETO_OPAQUE | ETO_CLIPPED, &empty, label, labelLength, nullptr);
}

void PaintProgress() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(g_window, &ps);
  PaintTexts(dc);
  PaintBar(dc);
  EndPaint(g_window, &ps);
}

LRESULT CALLBACK ProgressWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      PaintProgress();
      return 0;
    case WM_CLOSE:
      return 0;  // the unpacking cannot be cancelled
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

void SelectLanguage() { LanguageIndex = LanguageRowFor(GetSystemDefaultLangID()); }

void CreateProgressWindow() {
  HINSTANCE instance = OwnModule();
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = ProgressWndProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  RegisterClassExA(&windowClass);
  g_window = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, nullptr, WS_POPUP | WS_VISIBLE,
                             (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2, (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2,
                             kWidth, kHeight, nullptr, nullptr, instance, nullptr);
  g_largeFont = CreateWindowFont(16);
  g_smallFont = CreateWindowFont(11);
}

// Pending messages are handled at most once every few milliseconds: more often shows the
// user nothing, and with thousands of small entries each look into the queue (a round trip
// to the window server under some systems) would cost more than writing the file.
void PumpMessages() {
  constexpr DWORD kPumpIntervalMs = 10;
  static DWORD lastPump;  // 0 before the first pump, which always runs
  const DWORD now = GetTickCount();
  if (lastPump != 0 && now - lastPump < kPumpIntervalMs) return;
  lastPump = now | 1;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// Paints at once, but only when the bar would look different: thousands of small files
// would otherwise cost a paint each, all of the same picture.
void UpdateProgress() {
  if (!g_window || BarLook() == g_paintedLook) return;
  RECT bar = {kBarLeft, kBarTop, kBarRight, kBarBottom};
  InvalidateRect(g_window, &bar, FALSE);
  PaintProgress();
}

void DestroyProgressWindow() {
  if (g_window) DestroyWindow(g_window);
  if (g_largeFont) DeleteObject(g_largeFont);
  if (g_smallFont) DeleteObject(g_smallFont);
  g_window = nullptr;
  g_largeFont = nullptr;
  g_smallFont = nullptr;
}
