// Some native tests read Wine's own programs as real-world input. Where Wine is not
// installed they skip, naming the file, instead of failing for a reason that is not theirs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#define SKIP_WITHOUT_WINE_FILE(path) \
  if (access(path, R_OK) != 0) GTEST_SKIP() << path << " is missing: Wine's programs are not installed"
