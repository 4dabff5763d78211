// The Linux builder: the same command line as on Windows, message boxes on the terminal.
#include <unistd.h>

#include <exception>
#include <iostream>

#include "builder/build_sfx.h"
#include "builder/cmdline.h"
#include "builder/startup.h"
#include "builder/terminal_host.h"
#include "builder/u_messages.h"

int main(int argc, char** argv) {
  // "/" opens absolute paths here, so only "-" opens a switch.
  const CommandLine cmd(std::vector<std::string>(argv, argv + argc), argv[0], "-");
  TerminalHost host(isatty(STDERR_FILENO) != 0);
  if (!StartBuilder(cmd)) {
    host.ShowError(kMsgCorrupted);
    return 1;
  }
  if (!CommandLineMode) {
    for (const char* line : kUsageLines) std::cout << line << '\n';
    return 0;
  }

  SetBuildHost(&host);
  try {
    switch (BuildSfx(cmd.NonSwitchParamStr(1), cmd.NonSwitchParamStr(2), cmd.NonSwitchParamStr(3))) {
      case BuildOutcome::Built: return 0;
      case BuildOutcome::Declined: return 0;
      case BuildOutcome::Rejected: return 1;
    }
  } catch (const std::exception& e) {
    host.ShowError(e.what());
  }
  return 1;
}
