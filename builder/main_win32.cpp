// The Windows builder's start-up: locate the stub image, read the command line, pick the mode.
#include <windows.h>
#include <objbase.h>

#include <exception>
#include <string>
#include <vector>

#include "builder/box_host_win32.h"
#include "builder/build_sfx.h"
#include "builder/cmdline.h"
#include "builder/f_kesdra.h"
#include "builder/startup.h"
#include "builder/u_messages.h"
#include "platform/fs.h"
#include "uikit/about.h"
#include "uikit/application_win32.h"
#include "uikit/dll_loading.h"
#include "uikit/messageboxes.h"
#include "uikit/shell.h"
#include "uikit/ui_text.h"

// Replaces the library's verbose terminate handler, which prints the demangled type of the
// exception and so links the whole C++ name demangler into the program. An exception that
// escapes is a bug: end at once, without a box that could wait for a person.
namespace __gnu_cxx {
void __verbose_terminate_handler() { TerminateProcess(GetCurrentProcess(), 3); }
}  // namespace __gnu_cxx

bool HideMainWindow = false;

namespace {

// The command line as the system holds it (UTF-16), so that a path outside the code page is
// not read as a best-fit look-alike that names another folder.
std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  for (const std::u16string& arg : SplitCommandLine(reinterpret_cast<const char16_t*>(GetCommandLineW())))
    args.push_back(PathFromSystemText(arg));
  return args;
}

// Hidden mode: a build without any window. 0 when the build completed or the user declined
// to overwrite; 1 when an input was rejected or the build failed, so that scripts can tell.
int RunHidden(const CommandLine& cmd) {
  if (!CommandLineMode) return 0;
  BoxHost host;
  SetBuildHost(&host);
  int status = 1;
  try {
    const BuildOutcome outcome = BuildSfx(cmd.NonSwitchParamStr(1), cmd.NonSwitchParamStr(2), cmd.NonSwitchParamStr(3));
    status = outcome == BuildOutcome::Rejected ? 1 : 0;
  } catch (const std::exception& e) {
    MessageBoxA(ApplicationWindow(), WithFullStop(e.what()).c_str(), "Application Error", MB_OK | MB_ICONERROR);
  }
  SetBuildHost(nullptr);
  return status;
}

// Interactive window, or the window that builds by itself in CommandLineMode.
int RunWindow(const CommandLine& cmd) {
  OleInitialize(nullptr);  // the folder browser is a shell (COM) dialog
  SetApplicationTitle("Kesdra");
  Tfkesdra* form = Tfkesdra::Create(cmd);
  if (!form) return 1;
  form->Run();
  if (IsWindow(form->Handle())) DestroyWindow(form->Handle());
  delete form;
  OleUninitialize();
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  RestrictDllSearchToSystem();
  AboutWebPage = "kes-dra";
  const CommandLine cmd(Arguments(), ModulePath());
  if (!StartBuilder(cmd)) {
    ShowError(kMsgCorrupted);
    return 0;
  }
  HideMainWindow = cmd.HasSwitch('h');
  return HideMainWindow ? RunHidden(cmd) : RunWindow(cmd);
}
