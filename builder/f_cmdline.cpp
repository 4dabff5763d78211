#include "f_cmdline.h"

#include <string>

#include "builder/u_messages.h"
#include "uikit/application_win32.h"
#include "uikit/ui_text.h"

namespace {

const char kClassName[] = "Tfcmdline";
enum : int { kIdMemo = 100 };

std::string UsageText() {
  std::string text;
  for (const char* line : kUsageLines) {
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  return text;
}

class Tfcmdline : public Form {
 public:
  void FormCreate() {
    HWND main = MainWindowHandle();
    const std::string mainCaption = main ? WindowText(main) : ApplicationTitle();
    SetWindowTextA(window_, JoinedCaption(mainCaption, kMsgCommandLineSupport).c_str());
  }

  // Escape closes also from inside the memo, which would otherwise swallow it.
  bool FormKeyDown(UINT message, WPARAM key) {
    if (message != WM_KEYDOWN || key != VK_ESCAPE) return false;
    modalResult_ = IDCANCEL;
    return true;
  }

  void Show() {
    if (!CreateForm(kClassName, kMsgCommandLineSupport, WS_POPUP | WS_CAPTION | WS_SYSMENU,
                    WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, ApplicationWindow()))
      return;
    PlaceCentred(window_, 560, 320, MainWindowHandle());
    formFont_ = CreateUiFont("MS Sans Serif", 11, false, false);
    memoFont_ = CreateUiFont("Courier New", 13, false, false, true);  // a fixed pitch where it is missing
    CreateControls();
    FormCreate();
    RunModal(window_, bclose_, &modalResult_, [this](UINT message, WPARAM key) { return FormKeyDown(message, key); });
    DestroyWindow(window_);
    DeleteObject(formFont_);
    DeleteObject(memoFont_);
  }

 private:
  void CreateControls() {
    // Read-only, borderless and on the window's colour: the text looks printed on the window.
    mcmdline_ = CreateChild(window_, "EDIT", UsageText(),
                            WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_WANTRETURN | ES_AUTOVSCROLL, 0,
                            kIdMemo, 8, 16, 545, 265, memoFont_);
    bclose_ = CreateChild(window_, "BUTTON", "Close", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, IDCANCEL, 480,
                          288, 75, 25, formFont_);
  }

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    switch (message) {
      case WM_CTLCOLORSTATIC: {  // a read-only edit asks here: paint it on the button face
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == BN_CLICKED) modalResult_ = IDCANCEL;
        return 0;
      case WM_CLOSE:
        modalResult_ = IDCANCEL;
        return 0;
      case DM_GETDEFID:
        return MAKELRESULT(IDCANCEL, DC_HASDEFID);
    }
    return Form::HandleMessage(message, wParam, lParam);
  }

  HWND mcmdline_ = nullptr, bclose_ = nullptr;
  HFONT formFont_ = nullptr, memoFont_ = nullptr;
  int modalResult_ = 0;
};

}  // namespace

void ShowCommandLineHelp() {
  Tfcmdline form;
  form.Show();
}
