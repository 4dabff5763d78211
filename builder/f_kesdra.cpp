#include "f_kesdra.h"

#include <commdlg.h>

#include <exception>
#include <vector>

#include "builder/cmdline.h"
#include "builder/f_cmdline.h"
#include "builder/u_messages.h"
#include "builder/u_settings.h"
#include "uikit/about.h"
#include "uikit/application_win32.h"
#include "uikit/shell.h"
#include "platform/paths.h"
#include "uikit/ui_text.h"

namespace {

const char kClassName[] = "Tfkesdra";
const char kResourceCaption[] = "Kesdra";

enum ControlId : int {
  kIdLsource = 101, kIdLtarget, kIdLwait, kIdLexefile, kIdLweb, kIdLcmdline,
  kIdBmake, kIdEsource, kIdBsource, kIdBtarget, kIdEtarget, kIdEexefile, kIdBexefile,
};

// Posted when a field gets the focus: the default frame is settled after the dialog
// manager has finished moving the focus.
constexpr UINT WM_DEFAULTFRAME = WM_AUTOMAKE + 1;

const COLORREF kLinkBlue = RGB(0, 0, 255);
const COLORREF kWaitRed = RGB(255, 0, 0);

// A file dialog's name buffer, holding `initial` and room for a long answer.
std::vector<char> NameBuffer(const std::string& initial) {
  std::vector<char> buffer(initial.size() + 4096, '\0');
  initial.copy(buffer.data(), initial.size());
  return buffer;
}

// Both dialogs keep the platform's default options: no read-only box, resizable, no prompts.
OPENFILENAMEA FileDialogRequest(HWND owner, const char* filter, std::vector<char>& name, const std::string& folder) {
  OPENFILENAMEA request = {};
  request.lStructSize = sizeof request;
  request.hwndOwner = owner;
  request.lpstrFilter = filter;
  request.nFilterIndex = 1;
  request.lpstrFile = name.data();
  request.nMaxFile = static_cast<DWORD>(name.size());
  request.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  request.lpstrDefExt = "exe";
  request.Flags = OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_EXPLORER;
  return request;
}

// Our web address is wider than the room left of the command-line link: move the link
// along rather than let the two labels overlap.
void KeepClearOf(HWND left, HWND right) {
  RECT l, r;
  GetWindowRect(left, &l);
  GetWindowRect(right, &r);
  const int gap = ScaleToDpi(8);
  if (r.left >= l.right + gap) return;
  POINT at = {l.right + gap, r.top};
  ScreenToClient(GetParent(right), &at);
  SetWindowPos(right, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

Tfkesdra* Tfkesdra::Create(const CommandLine& cmd) {
  auto* form = new Tfkesdra;
  form->commandLine_ = &cmd;
  // Owned by the application window, with a task-bar button of its own.
  if (!form->CreateForm(kClassName, kResourceCaption,
                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN,
                        WS_EX_APPWINDOW | WS_EX_CONTROLPARENT, ApplicationWindow())) {
    delete form;
    return nullptr;
  }
  SetMainWindowHandle(form->window_);
  PlaceCentred(form->window_, 400, 200, nullptr);
  form->CreateControls();
  form->FormCreate();
  return form;
}

int Tfkesdra::Run() {
  SetBuildHost(this);
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  SetFocus(bmake_);
  const int status = RunMessageLoop(window_, [this](UINT, WPARAM key) { return FormKeyDown(key); });
  SetBuildHost(nullptr);
  return status;
}

void Tfkesdra::CreateControls() {
  formFont_ = CreateUiFont("MS Sans Serif", 11, false, false);
  boldFont_ = CreateUiFont("MS Sans Serif", 11, true, false);
  linkFont_ = CreateUiFont("MS Sans Serif", 11, false, true);
  waitFont_ = CreateUiFont(nullptr, 27, true, false);
  const DWORD button = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
  const DWORD edit = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
  lsource_ = CreateLabel(window_, kIdLsource, "Source directory:", 8, 8, formFont_);
  ltarget_ = CreateLabel(window_, kIdLtarget, "Target SFX file:", 8, 104, formFont_);
  lwait_ = CreateLabel(window_, kIdLwait, kMsgWait, 8, 160, waitFont_);
  ShowWindow(lwait_, SW_HIDE);
  SetLabelColor(lwait_, kWaitRed);
  lexefile_ = CreateLabel(window_, kIdLexefile, "Executable file (from the source directory):", 8, 56, formFont_);
  lweb_ = CreateLinkLabel(window_, kIdLweb, kMakerWebAddress, 8, 176, linkFont_, kLinkBlue);
  lcmdline_ = CreateLinkLabel(window_, kIdLcmdline, kMsgCommandLineSupport, 128, 176, linkFont_, kLinkBlue);
  KeepClearOf(lweb_, lcmdline_);
  bmake_ = CreateChild(window_, "BUTTON", "Kesdra", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, kIdBmake, 304, 168,
                       91, 25, boldFont_);
  esource_ = CreateChild(window_, "EDIT", "", edit, WS_EX_CLIENTEDGE, kIdEsource, 8, 24, 305, 21, formFont_);
  bsource_ = CreateChild(window_, "BUTTON", "Browse", button, 0, kIdBsource, 320, 24, 75, 25, formFont_);
  btarget_ = CreateChild(window_, "BUTTON", "Browse", button, 0, kIdBtarget, 320, 120, 75, 25, formFont_);
  etarget_ = CreateChild(window_, "EDIT", "", edit, WS_EX_CLIENTEDGE, kIdEtarget, 8, 120, 305, 21, formFont_);
  eexefile_ = CreateChild(window_, "EDIT", "", edit, WS_EX_CLIENTEDGE, kIdEexefile, 8, 72, 305, 21, formFont_);
  bexefile_ = CreateChild(window_, "BUTTON", "Browse", button, 0, kIdBexefile, 320, 72, 75, 25, formFont_);
  // Tab order follows the window order of the controls: put the stops in sequence.
  const HWND tabOrder[] = {esource_, bsource_, eexefile_, bexefile_, etarget_, btarget_, bmake_};
  HWND previous = HWND_TOP;
  for (HWND control : tabOrder) {
    SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = control;
  }
}

void Tfkesdra::FormCreate() {
  const std::string caption = CaptionWithVersion(kResourceCaption, FileVersionText(ModulePath()));
  SetWindowTextA(window_, caption.c_str());
  SetApplicationTitle(caption);
  SavedPaths paths;
  if (CommandLineMode) {
    paths.source = commandLine_->NonSwitchParamStr(1);
    paths.exeFile = commandLine_->NonSwitchParamStr(2);
    paths.target = commandLine_->NonSwitchParamStr(3);
  } else {
    RestoreSettings(&paths);
  }
  SetWindowTextA(esource_, paths.source.c_str());
  SetWindowTextA(eexefile_, paths.exeFile.c_str());
  SetWindowTextA(etarget_, paths.target.c_str());
}

// Posted, not run: the build must start only after the window has been painted.
void Tfkesdra::FormShow() { PostMessageA(window_, WM_AUTOMAKE, WM_AUTOMAKE, WM_AUTOMAKE); }

// F1 with any modifier: with Alt it comes as a system key, which the preview sees too.
bool Tfkesdra::FormKeyDown(WPARAM key) {
  if (key != VK_F1) return false;
  ShowAbout();
  return true;
}

// The dialog manager gives a focused Browse button the default frame and takes it from the
// others, but does not hand it back when the focus moves on to a field: Make gets it then.
void Tfkesdra::KeepDefaultButtonFrame() {
  HWND focus = GetFocus();
  if (focus != esource_ && focus != eexefile_ && focus != etarget_) return;
  for (HWND browse : {bsource_, bexefile_, btarget_})
    if (GetWindowLongPtrA(browse, GWL_STYLE) & BS_DEFPUSHBUTTON) SendMessageA(browse, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  if (!(GetWindowLongPtrA(bmake_, GWL_STYLE) & BS_DEFPUSHBUTTON))
    SendMessageA(bmake_, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

bool Tfkesdra::FormCloseQuery() { return !IsWindowVisible(lwait_); }

void Tfkesdra::bmakeClick() {
  // Pending messages run during a build; none of them may start a second one.
  if (!IsWindowEnabled(window_)) return;
  // Disabled, the window loses the focus; it goes back to the control that had it.
  const FocusKeeper focus;
  EnableWindow(window_, FALSE);
  std::string failure;
  bool failed = false;
  try {
    BuildSfx(WindowText(esource_), WindowText(eexefile_), WindowText(etarget_));
  } catch (const std::exception& e) {
    failed = true;
    failure = e.what();
  }
  EnableWindow(window_, TRUE);
  focus.Restore();
  if (!failed) return;
  MessageBoxA(window_, WithFullStop(failure).c_str(), ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
  focus.Restore();
}

void Tfkesdra::bsourceClick() {
  std::string directory = WindowText(esource_);
  if (BrowseForDirectory(&directory)) SetWindowTextA(esource_, directory.c_str());
}

void Tfkesdra::bexefileClick() {
  const std::string folder = WindowText(esource_);
  std::vector<char> name = NameBuffer(WindowText(eexefile_));
  OPENFILENAMEA request = FileDialogRequest(
      window_, "Executable files (*.exe)\0*.exe\0Batch files (*.bat)\0*.bat\0All files (*.*)\0*.*\0", name, folder);
  if (AskOpenFileName(&request)) SetWindowTextA(eexefile_, NamePartOf(name.data()).c_str());
}

void Tfkesdra::btargetClick() {
  const std::string current = WindowText(etarget_);
  const std::string folder = DirectoryPartOf(current);
  std::vector<char> name = NameBuffer(NamePartOf(current));
  OPENFILENAMEA request = FileDialogRequest(window_, "Executable files (*.exe)\0*.exe\0", name, folder);
  if (AskSaveFileName(&request)) SetWindowTextA(etarget_, name.data());
}

void Tfkesdra::lwebClick(HWND sender) { ShellOpen(WindowText(sender)); }

void Tfkesdra::lcmdlineClick() { ShowCommandLineHelp(); }

void Tfkesdra::WMAutoMake(WPARAM wParam, LPARAM lParam) {
  if (wParam == WM_AUTOMAKE && lParam == WM_AUTOMAKE && CommandLineMode) bmakeClick();
}

void Tfkesdra::ProcessMessages() { ::ProcessMessages(); }

void Tfkesdra::ShowBusy(bool busy) {
  if (busy) {
    ShowWindow(lweb_, SW_HIDE);
    ShowWindow(lcmdline_, SW_HIDE);
    ShowWindow(lwait_, SW_SHOW);
  } else {
    ShowWindow(lwait_, SW_HIDE);
    ShowWindow(lweb_, SW_SHOW);
    ShowWindow(lcmdline_, SW_SHOW);
  }
}

void Tfkesdra::SaveSettings(const std::string& source, const std::string& exe, const std::string& target) {
  ::SaveSettings(SavedPaths{source, exe, target});
}

void Tfkesdra::Terminate() { TerminateApplication(); }

LRESULT Tfkesdra::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT handled = 0;
  if (HandleLabelMessage(window_, message, wParam, lParam, &handled)) return handled;
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam), code = HIWORD(wParam);
      if (code == EN_SETFOCUS) PostMessageA(window_, WM_DEFAULTFRAME, 0, 0);
      else if (id == kIdBmake && code == BN_CLICKED) bmakeClick();
      else if (id == kIdBsource && code == BN_CLICKED) bsourceClick();
      else if (id == kIdBexefile && code == BN_CLICKED) bexefileClick();
      else if (id == kIdBtarget && code == BN_CLICKED) btargetClick();
      else if (id == kIdLweb && code == STN_CLICKED) lwebClick(reinterpret_cast<HWND>(lParam));
      else if (id == kIdLcmdline && code == STN_CLICKED) lcmdlineClick();
      return 0;
    }
    case DM_GETDEFID:
      return MAKELRESULT(kIdBmake, DC_HASDEFID);
    case WM_SHOWWINDOW:
      if (wParam) FormShow();
      break;
    case WM_AUTOMAKE:
      WMAutoMake(wParam, lParam);
      return 0;
    case WM_DEFAULTFRAME:
      KeepDefaultButtonFrame();
      return 0;
    case WM_CLOSE:
      if (FormCloseQuery()) DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      SetMainWindowHandle(nullptr);
      TerminateApplication();
      return 0;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}
