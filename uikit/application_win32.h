// The application object of the Windows builder: a hidden top-level window that owns every
// window of the program (so that message boxes have an owner also when no main window is
// shown), the application title, the message loops, modal windows and the small helpers
// that every form of the program shares (DPI scaling, fonts, labels, centring).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Created on first use; lives until the program ends.
HWND ApplicationWindow();

// A window of the program with a C++ object behind it. The object is attached as the
// window is created and sees all of its messages from then on, until it is destroyed.
class Form {
 public:
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  HWND Handle() const { return window_; }

 protected:
  Form() = default;
  virtual ~Form() = default;
  // Registers `className` on first use (button-face background, arrow cursor, the program's
  // icon) and creates the window at (0, 0), one pixel in size; false when that fails.
  bool CreateForm(const char* className, const char* caption, DWORD style, DWORD exStyle, HWND owner);
  // Every message of the window; the default is the system's handling.
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

// Remembers the control that has the keyboard focus and gives it back: a window that is
// disabled while it holds the focus loses it, and nothing returns it by itself.
class FocusKeeper {
 public:
  FocusKeeper() : focus_(GetFocus()) {}
  void Restore() const;

 private:
  HWND focus_;
};
HWND MainWindowHandle();  // null until the main window exists, and in hidden mode
void SetMainWindowHandle(HWND window);

void SetApplicationTitle(const std::string& title);
std::string ApplicationTitle();

// Lets pending window messages run. A quit request met here is kept for the main loop.
void ProcessMessages();
// Asks the application to end: the main loop returns as soon as control reaches it.
void TerminateApplication();

// Disables every visible, enabled top-level window of the program except `except`; the
// returned list is what EnableTaskWindows turns back on.
std::vector<HWND> DisableTaskWindows(HWND except);
void EnableTaskWindows(const std::vector<HWND>& windows);

// Key preview: sees the key presses for the form and its controls first, WM_KEYDOWN and
// WM_SYSKEYDOWN (a key pressed with Alt, and F10); true consumes the key.
using KeyPreview = std::function<bool(UINT message, WPARAM key)>;

// Runs the program's message loop until it is asked to end; returns the exit status.
int RunMessageLoop(HWND mainWindow, const KeyPreview& keyPreview);
// Shows `form` modally: the other windows are disabled until *modalResult becomes non-zero
// (the form's handler sets it). The focus goes back to where it was. The caller destroys the form.
int RunModal(HWND form, HWND initialFocus, int* modalResult, const KeyPreview& keyPreview);

// 96-DPI pixels in the system's font resolution.
int ScaleToDpi(int pixels96);
// A font of the given character height in 96-DPI pixels; a null face picks the default.
HFONT CreateUiFont(const char* face, int height96, bool bold, bool underline, bool fixedPitch = false);

// Outer size for a client area of the given 96-DPI size, centred over `over` (or the
// screen of the application window when null).
void PlaceCentred(HWND window, int clientWidth96, int clientHeight96, HWND over);

// Labels: static controls that size themselves to their text in their font. A link label is
// drawn in `color`, underlined by its font, with the hand cursor, and notifies its parent.
HWND CreateLabel(HWND parent, int id, const std::string& text, int left96, int top96, HFONT font);
HWND CreateLinkLabel(HWND parent, int id, const std::string& text, int left96, int top96, HFONT font,
                     COLORREF color);
void SetLabelColor(HWND label, COLORREF color);
void SizeLabelToText(HWND label);
// Colours and cursors of the labels: call from the parent's window procedure first.
bool HandleLabelMessage(HWND parent, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

HWND CreateChild(HWND parent, const char* className, const std::string& text, DWORD style, DWORD exStyle, int id,
                 int left96, int top96, int width96, int height96, HFONT font);

std::string WindowText(HWND window);
