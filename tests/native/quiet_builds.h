// The builder's globals as the in-process build tests want them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "builder/build_sfx.h"

// `stub` in front of every produced file, an existing target overwritten without a question,
// no success box, command-line mode, and identifiers drawn from `seed`.
inline void UseQuietBuilds(const void* stub, size_t size, uint32_t seed) {
  StubImage.data = stub;
  StubImage.size = size;
  OverwriteTarget = true;
  ReportSuccess = false;
  CommandLineMode = true;
  SeedRandom(seed);
}

// A fresh folder "/tmp/kesdra-<what>-XXXXXX" for one test's files; empty when none could be made.
inline std::string FreshTempFolder(const std::string& what) {
  std::string name = "/tmp/kesdra-" + what + "-XXXXXX";
  return mkdtemp(&name[0]) ? name : std::string();
}
