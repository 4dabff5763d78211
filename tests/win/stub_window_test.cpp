// The stub's progress window under Wine and Xvfb, looked at while the stub's error box is
// up (the window stays on screen until that box is closed), so nothing depends on timing.
// Run a second time by ctest with the system language German (Wine takes it from LC_ALL).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "stub/u_translations.h"
#include "tests/native/payload_test_files.h"

using namespace harness;
using namespace payload_test;

namespace {

const char kClass[] = "tarvexwindowclass";

struct WindowSeen {
  bool found = false;
  RECT rect{};
  LONG_PTR style = 0, exStyle = 0;
  bool survivedClose = false;
  std::vector<COLORREF> pixels;  // the window's client area, 320 x 96, row by row
};

// w x h pixels, row by row, of what `draw` leaves in a memory DC compatible with the screen.
std::vector<COLORREF> Pixels(int w, int h, const std::function<void(HDC mem, HDC screen)>& draw) {
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  draw(mem, screen);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels.push_back(GetPixel(mem, x, y));
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The window's pixels as they are on the screen.
std::vector<COLORREF> Capture(const RECT& r) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  return Pixels(w, h, [&](HDC mem, HDC screen) { BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY); });
}

// The window's pixels once it has been drawn again after the box moved off it: the bar's
// row shows only the bar's two colours, and two looks in a row agree.
std::vector<COLORREF> CaptureWhenDrawn(const RECT& r) {
  const COLORREF filled = GetSysColor(COLOR_ACTIVECAPTION), empty = GetSysColor(COLOR_WINDOW);
  std::vector<COLORREF> last, now;
  WaitUntil(
      [&] {
        last = now;
        now = Capture(r);
        if (now.size() != 320u * 96u || now != last) return false;
        for (int x = 17; x <= 303; ++x)
          if (now[78 * 320 + x] != filled && now[78 * 320 + x] != empty) return false;
        return true;
      },
      5000);
  return now;
}

// A title line drawn the way the window is described: 16-pixel "MS Sans Serif" at (16, 12)
// in window-text colour on the button face.
std::vector<COLORREF> RenderTitle(const char* text) {
  return Pixels(320, 96, [&](HDC mem, HDC) {
    RECT all = {0, 0, 320, 96};
    HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    FillRect(mem, &all, face);
    DeleteObject(face);
    HFONT font = CreateFontA(16, 0, 0, 0, 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
    HGDIOBJ oldFont = SelectObject(mem, font);
    SetBkColor(mem, GetSysColor(COLOR_BTNFACE));
    SetTextColor(mem, GetSysColor(COLOR_WINDOWTEXT));
    TextOutA(mem, 16, 12, text, lstrlenA(text));
    SelectObject(mem, oldFont);
    DeleteObject(font);
  });
}

// Pixels that differ inside the title line's band (x 16..300, y 15..28: the web address
// above it reaches down to y 14).
int TitleDifferences(const std::vector<COLORREF>& a, const std::vector<COLORREF>& b) {
  int differences = 0;
  for (int y = 15; y < 28; ++y)
    for (int x = 16; x < 300; ++x) differences += a[y * 320 + x] != b[y * 320 + x];
  return differences;
}

// A PNG file ends with its IEND chunk: no longer being written.
bool IsWholePng(const std::string& bytes) {
  static const char kEnd[] = "IEND\xAE\x42\x60\x82";
  return bytes.size() > 8 + 12 && bytes.compare(0, 4, "\x89PNG") == 0 &&
         bytes.compare(bytes.size() - 8, 8, kEnd, 8) == 0;
}

// Keeps a screenshot of the whole screen as a test artefact: a 24-bit BMP of the screen as
// GDI sees it, turned into PNG by ImageMagick (a Linux program that Wine starts like any
// other). ImageMagick's own "import -window root" here mostly reads black frames from the
// X server while Wine's windows are up, so the pixels come from GDI instead.
bool SaveScreenshot(const std::string& pngName) {
  const std::string bmpPath = ProgramDir() + "screen.bmp", pngPath = ProgramDir() + pngName;
  DeleteFileA(pngPath.c_str());
  const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, dib);
  BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((w * 3) + 3) & ~3u;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
  file.bfSize = file.bfOffBits + stride * h;
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
  bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
  bytes.append(static_cast<const char*>(bits), stride * h);
  WriteFile(bmpPath, bytes);
  SelectObject(mem, old);
  DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);

  if (!StartLinuxProgram("/usr/bin/convert", UnixPath(bmpPath) + " " + UnixPath(pngPath))) return false;
  // The handle of a Linux process tells nothing about its end: wait for its whole output.
  const bool written = WaitUntil([&] { return IsWholePng(ReadFile(pngPath)); }, 15000);
  DeleteFileA(bmpPath.c_str());
  return written;
}

class StubWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UseUnmanagedWindows();
  }
  void SetUp() override { dir_ = TempDir("kw"); }
  void TearDown() override {
    RemoveTree(dir_);
    RemoveTree(ExtractDir(id_));
  }

  // A file whose second of three entries is corrupted: the box comes up with the bar at
  // the share of the first two entries (here 50 %).
  std::string Corrupted(int corruptEntry = 1) {
    id_ = "00" + std::to_string(10000000 + GetCurrentProcessId() % 9000000);
    std::string bytes = ReadFile(ProgramDir() + "sfxhead.exe") + IdRecord(id_);
    const std::vector<TestEntry> entries = {
        {"a.bin", std::string(300000, 'a')}, {"b.bin", std::string(200000, 'b')}, {"c.bin", std::string(500000, 'c'), 1}};
    size_t corruptAt = 0;
    for (int i = 0; i < 3; ++i) {
      if (i == corruptEntry) corruptAt = bytes.size() + 17 + 5 + 10;
      bytes += EntryBytes(entries[i]);
    }
    bytes += EndRecord();
    if (corruptEntry < 0) bytes[bytes.size() - 17 - 4 - 500000 - 1] = '/';  // an unsafe name: refused in the walk
    else bytes[corruptAt] ^= 1;
    const std::string path = dir_ + "corrupt.exe";
    WriteFile(path, bytes);
    return path;
  }

  // Runs the file; while its box is up, looks at the progress window, then closes the box.
  WindowSeen RunAndLook(const std::string& path, const std::string& screenshot = std::string()) {
    WindowSeen seen;
    bool looked = false;
    const RunResult r = RunAndAnswer(Quote(path), dir_, [&](const BoxSeen&) {
      if (looked) return IDOK;
      looked = true;
      HWND window = FindWindowA(kClass, nullptr);
      seen.found = window != nullptr;
      if (!window) return IDOK;
      GetWindowRect(window, &seen.rect);
      seen.style = GetWindowLongPtrA(window, GWL_STYLE);
      seen.exStyle = GetWindowLongPtrA(window, GWL_EXSTYLE);
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_BLOCK, 5000, &ignored);
      seen.survivedClose = IsWindow(window) != FALSE;
      // The box is centred like the window: move it aside, let the window repaint, look.
      if (HWND box = FindWindowA("#32770", nullptr)) SetWindowPos(box, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
      seen.pixels = CaptureWhenDrawn(seen.rect);
      if (!screenshot.empty()) {
        EXPECT_TRUE(SaveScreenshot(screenshot));
      }
      return IDOK;
    });
    EXPECT_EQ(r.exitCode, 0xFFFFFFFFu);
    EXPECT_EQ(r.boxes.size(), 1u);
    EXPECT_FALSE(IsWindow(FindWindowA(kClass, nullptr))) << "the window goes with the process";
    return seen;
  }

  std::string dir_, id_;
};

TEST_F(StubWindowTest, BorderlessToolWindowInTheMiddleThatIgnoresClose) {
  const WindowSeen seen = RunAndLook(Corrupted());
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.rect.right - seen.rect.left, 320);
  EXPECT_EQ(seen.rect.bottom - seen.rect.top, 96);
  EXPECT_EQ(seen.rect.left, (GetSystemMetrics(SM_CXSCREEN) - 320) / 2);
  EXPECT_EQ(seen.rect.top, (GetSystemMetrics(SM_CYSCREEN) - 96) / 2);
  EXPECT_EQ(seen.exStyle & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
  EXPECT_EQ(static_cast<DWORD>(seen.style) & (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_THICKFRAME),
            static_cast<DWORD>(WS_POPUP | WS_VISIBLE));
  EXPECT_TRUE(seen.survivedClose);
}

TEST_F(StubWindowTest, BarIsFilledToTheShareUnpacked) {
  // Refused during the walk: nothing written, the bar empty. The second of three entries
  // corrupted: half of the data written, the bar filled up to 16 + 144 = 160. The last one
  // corrupted: all data written, the bar full. Row 78 holds no label.
  const struct {
    int corruptEntry, filledUpTo;
    const char* screenshot;
  } cases[] = {{-1, 17, "stub-progress-0.png"}, {1, 160, "stub-progress-50.png"}, {2, 304, "stub-progress-100.png"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screenshot);
    const WindowSeen seen = RunAndLook(Corrupted(c.corruptEntry), c.screenshot);
    ASSERT_EQ(seen.pixels.size(), 320u * 96u);
    int wrong = 0;
    for (int x = 17; x <= 303; ++x)
      wrong += seen.pixels[78 * 320 + x] != GetSysColor(x < c.filledUpTo ? COLOR_ACTIVECAPTION : COLOR_WINDOW);
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(StubWindowTest, TitleIsTheSystemLanguagesRow) {
  const LANGID system = GetSystemDefaultLangID();
  const uint8_t row = LanguageRowFor(system);
  const WindowSeen seen = RunAndLook(Corrupted());
  ASSERT_EQ(seen.pixels.size(), 320u * 96u);
  EXPECT_EQ(TitleDifferences(seen.pixels, RenderTitle(TitleText(row))), 0) << "language id " << std::hex << system;
  // And not some other row's title.
  EXPECT_GT(TitleDifferences(seen.pixels, RenderTitle(TitleText(row == 2 ? 0 : 2))), 0);
}

// Started by ctest with LC_ALL=de_DE.UTF-8: the system default language is then German.
TEST_F(StubWindowTest, GermanSystemShowsTheGermanRow) {
  if (PRIMARYLANGID(GetSystemDefaultLangID()) != LANG_GERMAN) GTEST_SKIP() << "the system language is not German";
  const WindowSeen seen = RunAndLook(Corrupted());
  ASSERT_EQ(seen.pixels.size(), 320u * 96u);
  EXPECT_EQ(TitleDifferences(seen.pixels, RenderTitle("Initialisierung")), 0);
}

}  // namespace
