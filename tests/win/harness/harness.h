// Test harness for the Windows programs: starts a process, finds the windows and message
// boxes it opens, reads and answers them, and reports how the process ended. A test never
// waits on a person: every wait has a deadline and a hung process is killed.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

// True as soon as `condition` holds; false when it still does not after `timeoutMs`.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// ---- message boxes ------------------------------------------------------------------------

struct BoxSeen {
  std::string caption;
  std::string text;
  bool yesNo = false;  // Yes and No buttons, else OK
};

// The caption, text and buttons of a message box (dialog class "#32770") of any process.
BoxSeen ReadBox(HWND box);
// Presses a button of a box or dialog (IDOK, IDYES, IDNO, IDCANCEL ...).
void Answer(HWND box, int buttonId);

// Picks the button that answers a box.
using BoxAnswer = std::function<int(const BoxSeen&)>;
int AnswerOk(const BoxSeen&);  // No to a question, OK otherwise

// Top-level windows of a process with the given class name (empty: any class).
std::vector<HWND> WindowsOfProcess(DWORD pid, const char* className);
// A visible box of the thread other than `except`; null after the deadline.
HWND WaitForBoxOfThread(DWORD thread, HWND except = nullptr, DWORD timeoutMs = 15000);

// ---- programs ---------------------------------------------------------------------------

// A program started by a test; killed when the test lets go of it while it still runs.
class RunningProgram {
 public:
  RunningProgram() = default;
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  ~RunningProgram();

  // A UTF-8 command line, started in `workDir` (empty: the current folder), its output (when
  // given) into `output`.
  bool Start(const std::string& commandLine, const std::string& workDir = std::string(), HANDLE output = nullptr);
  DWORD Pid() const { return info_.dwProcessId; }
  // Whether it ends within `waitMs`.
  bool Ended(DWORD waitMs) const;
  // The exit code, or STILL_ACTIVE when it did not end in time.
  DWORD WaitForExit(DWORD timeoutMs = 20000);
  void Kill(DWORD exitCode);

  // A visible top-level window of the program of this class (and caption, when given).
  HWND WaitForWindow(const char* className, DWORD timeoutMs = 20000, const char* caption = nullptr) const;
  // A visible message box or dialog (class "#32770") of the program.
  HWND WaitForBox(DWORD timeoutMs = 20000) const;
  // The control that has the keyboard focus in the program's interface thread.
  HWND FocusedControl() const;

 private:
  PROCESS_INFORMATION info_ = {};
};

struct RunResult {
  bool started = false;
  bool timedOut = false;
  DWORD exitCode = 0;
  std::vector<BoxSeen> boxes;
};

// Runs `commandLine` (UTF-8) in `workDir` (empty: the current folder) to its end and answers
// every box it shows with `answer`; after `timeoutMs` the process is killed.
RunResult RunAndAnswer(const std::string& commandLine, const std::string& workDir = std::string(),
                       const BoxAnswer& answer = AnswerOk, DWORD timeoutMs = 60000);

// Runs kesdra.exe of this build with these arguments, as RunAndAnswer does.
RunResult RunKesdra(const std::string& args);


// ---- files and folders --------------------------------------------------------------------

std::string TempPath();                          // the system's temporary folder, with trailing backslash
std::string TempDir(const std::string& prefix);  // a fresh, empty folder, with trailing backslash
std::string ExtractDir(const std::string& id);   // where a produced file with identifier `id` unpacks
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void RemoveTree(const std::string& dir);
// The folder of the running test program, with trailing backslash.
std::string ProgramDir();
// The folder of the shipped 32-bit programs where this machine runs 32-bit code itself
// (KESDRA_I386_NATIVE=1 from scripts/wine-env) and they are built; else ProgramDir().
std::string ShippedDir();

// Sets an environment variable (UTF-8; null removes it) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  std::wstring name_, old_;
  bool had_;
};

// UTF-8 text (paths outside the code page in the tests' sources) as UTF-16.
std::wstring Wide(const std::string& utf8);
// Quotes one argument for a command line.
std::string Quote(const std::string& arg);
// A Windows path as Linux programs see it (Wine's own mapping); empty when there is none.
std::string UnixPath(const std::string& windowsPath);
// Starts a Linux program (Wine runs those too); its end cannot be awaited, only its effects.
bool StartLinuxProgram(const std::string& path, const std::string& arguments);
// Starts a Linux program and waits until `done` holds (at most five seconds).
bool RunLinuxProgram(const std::string& path, const std::string& arguments, const std::function<bool()>& done);

}  // namespace harness
