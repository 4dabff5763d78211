// UI automation for the Windows tests: drives a running program's windows from another
// process, the way a user would reach them (messages to the real controls), and never
// waits on a person: every wait has a deadline.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ui {

// Runs a function on a thread of its own, for example to answer a box the test's thread
// shows; join() or the destructor waits for it. (The Windows runtime of the shipped build
// has no std::thread.)
class Watcher {
 public:
  explicit Watcher(std::function<void()> work)
      : work_(std::move(work)), thread_(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;
  ~Watcher() { join(); }
  void join() {
    if (!thread_) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<Watcher*>(self)->work_();
    return 0;
  }
  std::function<void()> work_;
  HANDLE thread_;
};

// A program started by a test; killed when the test lets go of it while it still runs.
class RunningProgram {
 public:
  RunningProgram() = default;
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  ~RunningProgram();

  bool Start(const std::string& commandLine, const std::string& workDir = std::string());
  DWORD Pid() const { return info_.dwProcessId; }
  DWORD Thread() const { return info_.dwThreadId; }
  bool Running() const;
  // The exit code, or STILL_ACTIVE when it did not end in time.
  DWORD WaitForExit(DWORD timeoutMs = 20000);

  // A visible top-level window of the program of this class (and caption, when given).
  HWND WaitForWindow(const char* className, DWORD timeoutMs = 20000, const char* caption = nullptr) const;
  // A visible message box (dialog class "#32770") of the program.
  HWND WaitForBox(DWORD timeoutMs = 20000) const;
  // The control that has the keyboard focus in the program's interface thread.
  HWND FocusedControl() const;

 private:
  PROCESS_INFORMATION info_ = {};
};

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// Child windows of `parent` in window order, optionally of one class.
std::vector<HWND> Children(HWND parent, const char* className = nullptr);
// The first child of this class with exactly this text; null when there is none.
HWND ChildWithText(HWND parent, const char* className, const std::string& text);
std::string Text(HWND window);
std::string ClassOf(HWND window);
void SetText(HWND control, const std::string& text);

// Position and size of a child in its parent's client area, and a window's client size.
RECT RectInParent(HWND child);
SIZE ClientSize(HWND window);

// Input as the user gives it, queued to the program's thread: a button press, a click on a
// label, and a key press delivered to the given control (as the focused one would get it).
void Click(HWND button);
void ClickLabel(HWND label);
void PressKey(HWND target, UINT virtualKey);
// Real keyboard input through the system, to whatever window has the focus.
void TypeKeys(const std::vector<WORD>& downKeys);

// A message box's caption, text and buttons.
struct Box {
  std::string caption, text;
  bool yesNo = false;
};
Box ReadBox(HWND box);
void Answer(HWND box, int buttonId);

// Pixels at 96 DPI in the system's font resolution, as the program scales its layout.
int Scaled(int pixels96);

}  // namespace ui
