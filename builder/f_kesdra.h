// The builder's main window: three path fields with Browse buttons, the Make button, two
// link labels and the busy notice. It is also the BuildHost of builds started from it.
#pragma once

#include <windows.h>

#include <string>

#include "builder/box_host_win32.h"

class CommandLine;

// The private message that starts a build by itself once the window has been shown.
constexpr UINT WM_AUTOMAKE = 0xD00;

class Tfkesdra : public BoxHost {
 public:
  // Creates the (still hidden) main window; null when the window cannot be created.
  // In CommandLineMode the fields come from `cmd`, which must outlive the window.
  static Tfkesdra* Create(const CommandLine& cmd);
  HWND Handle() const { return window_; }
  // Shows the window and runs the message loop until the application ends.
  int Run();

  // BuildHost
  void ProcessMessages() override;
  void ShowBusy(bool busy) override;
  void SaveSettings(const std::string& source, const std::string& exe, const std::string& target) override;
  void Terminate() override;

 private:
  void CreateControls();
  void FormCreate();
  void FormShow();
  bool FormKeyDown(WPARAM key);
  bool FormCloseQuery();
  void bmakeClick();
  void bsourceClick();
  void bexefileClick();
  void btargetClick();
  void lwebClick(HWND sender);
  void lcmdlineClick();
  void WMAutoMake(WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  const CommandLine* commandLine_ = nullptr;
  HWND window_ = nullptr;
  HWND lsource_ = nullptr, ltarget_ = nullptr, lwait_ = nullptr, lexefile_ = nullptr, lweb_ = nullptr,
       lcmdline_ = nullptr, bmake_ = nullptr, esource_ = nullptr, bsource_ = nullptr, btarget_ = nullptr,
       etarget_ = nullptr, eexefile_ = nullptr, bexefile_ = nullptr;
  HFONT formFont_ = nullptr, boldFont_ = nullptr, waitFont_ = nullptr, linkFont_ = nullptr;
};
