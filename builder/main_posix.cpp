// The Linux builder: the same command line as on Windows, message boxes on the terminal.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>

#include "builder/build_sfx.h"
#include "builder/cmdline.h"
#include "builder/startup.h"
#include "builder/terminal_host.h"
#include "builder/u_messages.h"

namespace {

// The help window's lines, with -z added: the window keeps its ten lines.
void PrintUsage(std::ostream& out) {
  for (const char* line : kUsageLines) {
    const std::string text = line;
    if (text.find("[-o] [-c] [-h]") != std::string::npos) {
      out << "kesdra [-z] [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>\n";
      continue;
    }
    out << line << '\n';
    if (text.rfind("-h  ", 0) == 0) out << "-z  compress the payload (LZMA, solid; the stub grows to 24 KiB)\n";
  }
}

// An empty argument is usually a variable that a script left unset; the positional count
// would stop at it and the build would quietly not happen.
bool HasEmptyArgument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] == '\0') return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (HasEmptyArgument(argc, argv)) {
    PrintUsage(std::cerr);
    return 2;
  }
  // "/" opens absolute paths here, so only "-" opens a switch.
  const CommandLine cmd(std::vector<std::string>(argv, argv + argc), argv[0], "-");
  TerminalHost host(isatty(STDERR_FILENO) != 0);
  if (!StartBuilder(cmd)) {
    host.ShowError(kMsgCorrupted);
    return 1;
  }
  if (!CommandLineMode) {
    PrintUsage(std::cout);
    return 0;
  }

  SetBuildHost(&host);
  try {
    switch (BuildSfx(cmd.NonSwitchParamStr(1), cmd.NonSwitchParamStr(2), cmd.NonSwitchParamStr(3))) {
      case BuildOutcome::Built: return 0;
      case BuildOutcome::Declined: return host.unanswered() ? 1 : 0;
      case BuildOutcome::Rejected: return 1;
    }
  } catch (const std::exception& e) {
    host.ShowError(e.what());
  }
  return 1;
}
