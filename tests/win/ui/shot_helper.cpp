// Brings the builder's windows up for the screenshots in docs/: opens the about box or the
// help window of a running builder and prints the screen rectangle of the window asked for;
// "quit" closes them and the builder.
#include <cstdio>
#include <cstring>

#include "harness.h"
#include "ui_driver.h"

namespace {

HWND WaitForClass(const char* className) {
  HWND found = nullptr;
  harness::WaitUntil([&] { return (found = FindWindowA(className, nullptr)) != nullptr && IsWindowVisible(found); }, 15000);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const char* what = argc > 1 ? argv[1] : "main";
  HWND form = WaitForClass("Tfkesdra");
  if (!form) return 1;
  if (std::strcmp(what, "quit") == 0) {  // close what is open, then the builder itself
    for (const char* modal : {"tfabout", "Tfcmdline"})
      if (HWND open = FindWindowA(modal, nullptr)) {
        PostMessageA(open, WM_CLOSE, 0, 0);
        harness::WaitUntil([&] { return !IsWindow(open); }, 5000);
      }
    PostMessageA(form, WM_CLOSE, 0, 0);
    return 0;
  }
  HWND shown = form;
  if (std::strcmp(what, "about") == 0) {
    harness::PressKey(form, VK_F1);
    shown = WaitForClass("tfabout");
  } else if (std::strcmp(what, "help") == 0) {
    harness::ClickLabel(harness::ChildWithText(form, "Static", "Command line support"));
    shown = WaitForClass("Tfcmdline");
  }
  if (!shown) return 1;
  Sleep(500);  // let it paint
  RECT r;
  GetWindowRect(shown, &r);
  // Started inside Wine's virtual desktop, where standard output may not reach the caller.
  std::FILE* out = argc > 2 ? std::fopen(argv[2], "w") : stdout;
  if (!out) return 1;
  std::fprintf(out, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
  if (out != stdout) std::fclose(out);
  return 0;
}
