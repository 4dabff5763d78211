#include <windows.h>

#include "about.h"
#include "application_win32.h"
#include "shell.h"
#include "u_captions.h"
#include "ui_text.h"

std::string AboutWebPage;

namespace {

const char kAboutClass[] = "tfabout";
enum : int { kIdWebLink = 106, kIdEmailLink = 108, kIdIcon = 110 };
const COLORREF kLinkBlue = RGB(0, 0, 255);

// The year the program file was last written, or this year when that cannot be told.
int ProgramYear() {
  SYSTEMTIME today;
  GetLocalTime(&today);
  WIN32_FILE_ATTRIBUTE_DATA data;
  FILETIME local;
  SYSTEMTIME written = {};
  const bool known = GetFileAttributesExA(ModulePath().c_str(), GetFileExInfoStandard, &data) &&
                     FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) && FileTimeToSystemTime(&local, &written);
  return CopyrightYear(known, written.wYear, written.wMonth, written.wDay, today.wYear);
}

std::string VersionRowText() {
  try {
    return VersionLine(Captions[CurrentLanguage].VersionWord, FileVersionText(ModulePath()));
  } catch (...) {
    return std::string();  // a version that cannot be read leaves the row empty
  }
}

// The box's own state for the time it is shown.
struct tfabout {
  HWND window = nullptr;
  int modalResult = 0;
  HFONT titleFont = nullptr, versionFont = nullptr, plainFont = nullptr, linkFont = nullptr;

  void webclick(HWND sender) { ShellOpen(WindowText(sender)); }
  void emailclick(HWND sender) { ShellOpen("mailto:" + WindowText(sender)); }

  void CreateControls() {
    const CaptionSet& texts = Captions[CurrentLanguage];
    CreateLabel(window, 101, ApplicationTitle(), 64, 16, titleFont);
    CreateLabel(window, 102, VersionRowText(), 64, 45, versionFont);
    CreateLabel(window, 103, texts.TermsLine, 64, 72, plainFont);
    CreateLabel(window, 104, CopyrightText(texts.CopyrightLine, ProgramYear()), 64, 96, plainFont);
    CreateLabel(window, 105, std::string(texts.WebWord) + ":", 64, 116, plainFont);
    CreateLinkLabel(window, kIdWebLink, std::string(kMakerWebAddress) + "/" + AboutWebPage, 104, 116, linkFont,
                    kLinkBlue);
    CreateLabel(window, 107, std::string(texts.EmailWord) + ":", 64, 136, plainFont);
    CreateLinkLabel(window, kIdEmailLink, kMakerEmailAddress, 104, 136, linkFont, kLinkBlue);
    CreateChild(window, "BUTTON", texts.OkCaption, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, IDOK, 96, 168, 75,
                25, plainFont);
    HWND icon = CreateChild(window, "STATIC", "", WS_VISIBLE | SS_ICON, 0, kIdIcon, 16, 16, 32, 32, nullptr);
    HICON picture = LoadIconA(GetModuleHandleA(nullptr), "MAINICON");
    SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(picture ? picture : LoadIcon(nullptr, IDI_APPLICATION)),
                 0);
  }

  void DeleteFonts() {
    for (HFONT font : {titleFont, versionFont, plainFont, linkFont})
      if (font) DeleteObject(font);
  }
};

// Our links are longer than the box was drawn for: widen it rather than cut them off.
BOOL CALLBACK WidestRight(HWND child, LPARAM data) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  auto* widest = reinterpret_cast<LONG*>(data);
  if (r.right > *widest) *widest = r.right;
  return TRUE;
}

void WidenToFitLabels(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  LONG widest = 0;
  EnumChildWindows(window, WidestRight, reinterpret_cast<LPARAM>(&widest));
  const LONG needed = widest + ScaleToDpi(16);
  if (needed <= client.right) return;
  RECT frame;
  GetWindowRect(window, &frame);
  const LONG extra = needed - client.right;
  SetWindowPos(window, nullptr, frame.left - extra / 2, frame.top, frame.right - frame.left + extra,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<tfabout*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  LRESULT handled = 0;
  if (form && HandleLabelMessage(window, message, wParam, lParam, &handled)) return handled;
  switch (message) {
    case WM_COMMAND:
      if (!form) break;
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        form->modalResult = IDOK;  // the one button is both default and cancel: OK either way
      } else if (HIWORD(wParam) == STN_CLICKED && LOWORD(wParam) == kIdWebLink) {
        form->webclick(reinterpret_cast<HWND>(lParam));
      } else if (HIWORD(wParam) == STN_CLICKED && LOWORD(wParam) == kIdEmailLink) {
        form->emailclick(reinterpret_cast<HWND>(lParam));
      }
      return 0;
    case WM_CLOSE:
      if (form) form->modalResult = IDCANCEL;
      return 0;
    case DM_GETDEFID:
      return MAKELRESULT(IDOK, DC_HASDEFID);
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void ShowAbout() {
  RegisterFormClass(kAboutClass, AboutProc);
  tfabout form;
  HWND owner = ApplicationWindow();
  form.window = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kAboutClass,
                                Captions[CurrentLanguage].AboutCaption, WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 1, 1,
                                owner, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!form.window) return;
  SetWindowLongPtrA(form.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&form));
  PlaceCentred(form.window, 264, 208, MainWindowHandle());
  form.titleFont = CreateUiFont("MS Sans Serif", 19, true, false);    // 14 points
  form.versionFont = CreateUiFont("MS Sans Serif", 13, true, false);  // 10 points
  form.plainFont = CreateUiFont("MS Sans Serif", 11, false, false);   // 8 points
  form.linkFont = CreateUiFont("MS Sans Serif", 11, false, true);
  form.CreateControls();
  WidenToFitLabels(form.window);
  RunModal(form.window, GetDlgItem(form.window, IDOK), &form.modalResult, nullptr);
  DestroyWindow(form.window);
  form.DeleteFonts();
}
