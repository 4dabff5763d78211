#include "builder/startup.h"

#include "builder/build_sfx.h"
#include "platform/fs.h"
#include "uikit/resources.h"

bool StartBuilder(const CommandLine& cmd) {
  const void* image = nullptr;
  size_t imageSize = 0;
  if (!LockNamedResource("EXE", "SFXHEAD", &image, &imageSize)) return false;
  StubImage.data = image;
  StubImage.size = imageSize;
  SeedRandom(ClockSeed());
  OverwriteTarget = cmd.HasSwitch('o');
  ReportSuccess = !cmd.HasSwitch('c');
  CommandLineMode = cmd.NonSwitchParamCount() >= 3;
  return true;
}
