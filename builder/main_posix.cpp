// The Linux builder: the same command line as on Windows, message boxes on the terminal.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "builder/build_sfx.h"
#include "builder/cmdline.h"
#include "builder/progress_line.h"
#include "builder/u_messages.h"
#include "platform/fs.h"
#include "uikit/messageboxes.h"
#include "uikit/resources.h"

namespace {

// The help window's lines, with -z added: the window keeps its ten lines.
void PrintUsage() {
  for (const char* line : kUsageLines) {
    const std::string text = line;
    if (text.find("[-o] [-c] [-h]") != std::string::npos) {
      std::cout << "kesdra [-z] [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>\n";
      continue;
    }
    std::cout << line << '\n';
    if (text.rfind("-h  ", 0) == 0) std::cout << "-z  compress the payload (LZMA, solid; the stub grows to 24 KiB)\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const void* image = nullptr;
  size_t imageSize = 0;
  if (!LockNamedResource("EXE", "SFXHEAD", &image, &imageSize)) {
    ShowError(kMsgCorrupted);
    return 1;
  }
  StubImage.data = image;
  StubImage.size = imageSize;
  if (!LockNamedResource("EXE", "SFXHEADZ", &PackedStubImage.data, &PackedStubImage.size)) {
    ShowError(kMsgCorrupted);
    return 1;
  }
  SeedRandom(ClockSeed());

  // "/" opens absolute paths here, so only "-" opens a switch.
  CommandLine cmd(std::vector<std::string>(argv, argv + argc), argv[0], "-");
  OverwriteTarget = cmd.HasSwitch('o');
  ReportSuccess = !cmd.HasSwitch('c');
  HideMainWindow = cmd.HasSwitch('h');
  CompressPayload = cmd.HasSwitch('z');
  CommandLineMode = cmd.NonSwitchParamCount() >= 3;
  if (!CommandLineMode) {
    PrintUsage();
    return 0;
  }

  ProgressLine progress(isatty(STDERR_FILENO) != 0);
  SetBuildHost(&progress);
  try {
    switch (BuildSfx(cmd.NonSwitchParamStr(1), cmd.NonSwitchParamStr(2), cmd.NonSwitchParamStr(3))) {
      case BuildOutcome::Built: return 0;
      case BuildOutcome::Declined: return 0;
      case BuildOutcome::Rejected: return 1;
    }
  } catch (const std::exception& e) {
    progress.Clear();
    ShowError(e.what());
  }
  return 1;
}
