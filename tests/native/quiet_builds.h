// The builder's globals as the in-process build tests want them, and a folder per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "tests/native/payload_test_files.h"
#include "tools/inspect/inspect.h"

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

// One test's folder, with the tree to build in src/; removed afterwards, read-only parts too.
class TempTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = "/tmp/kesdra-tree-XXXXXX";
    ASSERT_NE(mkdtemp(&root_[0]), nullptr);
    src_ = root_ + "/src";
    ASSERT_EQ(mkdir(src_.c_str(), 0755), 0);
  }
  void TearDown() override { std::system(("chmod -R u+w '" + root_ + "' && rm -rf '" + root_ + "'").c_str()); }
  // Writes src/`rel`, making the folders above it.
  void Write(const std::string& rel, const std::string& data) { payload_test::WriteAll(src_ + "/" + rel, data); }

  std::string root_, src_;
};

// A TempTreeTest that runs kesdra-inspect in-process; out_ and err_ hold what it printed.
class InspectTreeTest : public TempTreeTest {
 protected:
  int Inspect(const std::vector<std::string>& args) {
    out_.str("");
    err_.str("");
    return RunInspect(args, out_, err_);
  }
  std::ostringstream out_, err_;
};
