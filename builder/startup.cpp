#include "builder/startup.h"

#include "builder/build_sfx.h"
#include "platform/fs.h"
#include "platform/resources.h"

bool StartBuilder(const CommandLine& cmd) {
  const void* image = nullptr;
  size_t imageSize = 0;
  if (!LockNamedResource("EXE", "SFXHEAD", &image, &imageSize)) return false;
  StubImage.data = image;
  StubImage.size = imageSize;
  if (!LockNamedResource("EXE", "SFXHEADZ", &PackedStubImage.data, &PackedStubImage.size)) return false;
  SeedRandom(ClockSeed());
  OverwriteTarget = cmd.HasSwitch('o');
  ReportSuccess = !cmd.HasSwitch('c');
  CompressPayload = cmd.HasSwitch('z');
  CommandLineMode = cmd.NonSwitchParamCount() >= 3;
  return true;
}

std::string GroupedBytes(size_t count) {
  std::string digits = std::to_string(count);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}
