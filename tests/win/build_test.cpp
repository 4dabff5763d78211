// The Windows builder in hidden mode, as a build script would call it.
#include <gtest/gtest.h>

#include <map>

#include "harness.h"

using namespace harness;

namespace {

uint32_t Le(const std::string& s, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
  return v;
}

// Where the payload begins: the end of the last section's raw data, read from the PE headers.
size_t PayloadStart(const std::string& file) {
  const size_t pe = Le(file, 0x3C, 4);
  EXPECT_EQ(file.substr(pe, 4), std::string("PE\0\0", 4));
  const size_t sections = Le(file, pe + 6, 2), optSize = Le(file, pe + 20, 2);
  size_t end = 0;
  for (size_t i = 0; i < sections; ++i) {
    const size_t at = pe + 24 + optSize + 40 * i;
    const size_t rawSize = Le(file, at + 16, 4), rawPtr = Le(file, at + 20, 4);
    if (rawSize > 0 && rawPtr + rawSize > end) end = rawPtr + rawSize;
  }
  return end;
}

struct Entry {
  int launch;
  std::string data;
  uint32_t attr;
};

std::map<std::string, Entry> ParsePayload(const std::string& file) {
  std::map<std::string, Entry> entries;
  size_t at = PayloadStart(file);
  EXPECT_EQ(file.at(at), 10);
  at += 11;
  for (;;) {
    const uint32_t nameLen = Le(file, at + 1, 4), size = Le(file, at + 5, 4);
    const uint32_t time = Le(file, at + 9, 4), attr = Le(file, at + 13, 4);
    if (!nameLen && !size && !time && !attr) {
      EXPECT_EQ(at + 17, file.size());
      break;
    }
    const std::string name = file.substr(at + 17, nameLen);
    entries[name] = {file.at(at), file.substr(at + 17 + nameLen, size), attr};
    at += 17 + nameLen + size + 4;
  }
  return entries;
}

class HiddenBuild : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = TempDir("kb"); }
  void TearDown() override { RemoveTree(dir_); }
  RunResult Kesdra(const std::string& args) {
    return RunAndAnswer(Quote(ProgramDir() + "kesdra.exe") + " " + args);
  }
  std::string dir_;
};

}  // namespace

TEST_F(HiddenBuild, WritesACompleteFileWithoutAnyWindow) {
  WriteFile(dir_ + "src\\Setup.exe", "program");
  WriteFile(dir_ + "src\\docs\\readme.txt", "hello");
  SetFileAttributesA((dir_ + "src\\docs\\readme.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  const RunResult r = Kesdra("-h -o -c " + Quote(dir_ + "src") + " setup.exe " + Quote(dir_ + "out\\sfx.exe"));
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  auto entries = ParsePayload(ReadFile(dir_ + "out\\sfx.exe"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries["Setup.exe"].launch, 1);  // typed in another letter case
  EXPECT_EQ(entries["Setup.exe"].data, "program");
  EXPECT_EQ(entries["docs\\readme.txt"].launch, 0);
  EXPECT_EQ(entries["docs\\readme.txt"].attr & FILE_ATTRIBUTE_HIDDEN, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

TEST_F(HiddenBuild, RejectedInputShowsItsBoxAndEndsWithStatusOne) {
  const RunResult r = Kesdra("-h -o -c " + Quote(dir_ + "missing") + " setup.exe " + Quote(dir_ + "sfx.exe"));
  ASSERT_EQ(r.boxes.size(), 1u) << "exit code " << r.exitCode << (r.timedOut ? ", timed out" : "");
  EXPECT_EQ(r.boxes[0].caption, "Error");
  EXPECT_EQ(r.boxes[0].text, "Source directory does not exist\r\n\r\n" + dir_ + "missing\\");
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_FALSE(Exists(dir_ + "sfx.exe"));
}

TEST_F(HiddenBuild, DeclinedOverwriteKeepsTheTargetAndEndsWithStatusZero) {
  WriteFile(dir_ + "src\\run.bat", "@echo off");
  WriteFile(dir_ + "sfx.exe", "keep");
  const RunResult r = Kesdra("-h -c " + Quote(dir_ + "src") + " run.bat " + Quote(dir_ + "sfx.exe"));
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].text, "Target file already exists\r\nOverwrite?");
  EXPECT_EQ(r.boxes[0].caption, "Confirmation");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_EQ(ReadFile(dir_ + "sfx.exe"), "keep");
}

TEST_F(HiddenBuild, FewerThanThreePositionalsEndAtOnce) {
  const RunResult r = Kesdra("-h " + Quote(dir_ + "src") + " setup.exe");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
}
