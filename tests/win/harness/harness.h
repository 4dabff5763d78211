// Test harness for the Windows programs: starts a process, watches for the message boxes
// it opens, records what they say, answers them, and reports how the process ended. A test
// never waits on a person: boxes are answered at once and a hung process is killed.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

struct BoxSeen {
  std::string caption;
  std::string text;
  DWORD style = 0;  // the box's window style, for the buttons it shows
};

struct RunResult {
  bool started = false;
  bool timedOut = false;
  DWORD exitCode = 0;
  std::vector<BoxSeen> boxes;
};

// Picks the button that answers a box (IDOK, IDYES, IDNO ...).
using BoxAnswer = std::function<int(const BoxSeen&)>;
int AnswerOk(const BoxSeen&);

// Runs `commandLine` in `workDir` (empty: the current folder) and answers every box of
// class "#32770" that belongs to the process with `answer`.
RunResult RunAndAnswer(const std::string& commandLine, const std::string& workDir = std::string(),
                       const BoxAnswer& answer = AnswerOk, DWORD timeoutMs = 60000);

// The text and caption of a message box window.
BoxSeen ReadBox(HWND box);
// Top-level windows of a process with the given class name (empty: any class).
std::vector<HWND> WindowsOfProcess(DWORD pid, const char* className);

// Files and folders for tests.
std::string TempDir(const std::string& prefix);  // a fresh, empty folder, with trailing backslash
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void RemoveTree(const std::string& dir);
// The folder of the running test program, with trailing backslash.
std::string ProgramDir();
// Quotes one argument for a command line.
std::string Quote(const std::string& arg);

}  // namespace harness
