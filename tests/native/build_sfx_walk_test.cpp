// How the walk meets the file system: links, what a failed build leaves behind now that
// small pieces are gathered before they are written, and the image checksum that is kept
// while the payload is written instead of in a second pass.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "platform/fs.h"
#include "tests/native/pe_test_images.h"

namespace {

const char kStub[] = "MZ-stub";
constexpr size_t kStubSize = sizeof kStub;

using produced::ReadBytes;

// The whole entries after the identifier; a partial target simply stops early.
produced::Payload ReadEntries(const std::string& file) {
  const produced::Payload p = produced::Parse(file, kStubSize);
  EXPECT_TRUE(p.ChecksumsMatch());
  return p;
}

class BuildWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kesdra-walk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    src_ = root_ + "/src";
    mkdir(src_.c_str(), 0755);
    target_ = root_ + "/out.exe";
    StubImage.data = kStub;
    StubImage.size = kStubSize;
    OverwriteTarget = true;
    ReportSuccess = false;
    CommandLineMode = true;
  }
  void TearDown() override { std::system(("rm -rf " + root_).c_str()); }
  BuildOutcome Build(const std::string& exe = "run.exe") { return BuildSfx(src_, exe, target_); }
  void Write(const std::string& rel, const std::string& data) {
    std::ofstream(src_ + "/" + rel, std::ios::binary) << data;
  }

  std::string root_, src_, target_;
};

TEST_F(BuildWalkTest, LinksToFilesAreFollowedAndLinksToDirectoriesSkipped) {
  Write("run.exe", "r");
  mkdir((src_ + "/dir").c_str(), 0755);
  Write("dir/inner.txt", "inner");
  ASSERT_EQ(symlink("run.exe", (src_ + "/alias.exe").c_str()), 0);
  ASSERT_EQ(symlink("dir", (src_ + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (src_ + "/dangling").c_str()), 0);
  ASSERT_EQ(Build(), BuildOutcome::Built);

  const std::string file = ReadBytes(target_);
  const produced::Payload p = ReadEntries(file);
  std::map<std::string, std::string> byName;
  for (const produced::Entry& e : p.entries) byName[e.name] = e.data;
  EXPECT_EQ(byName.size(), 3u);
  EXPECT_EQ(byName["alias.exe"], "r");
  EXPECT_EQ(byName["dir\\inner.txt"], "inner");
  EXPECT_EQ(byName.count("dirlink\\inner.txt"), 0u);
  EXPECT_TRUE(p.ended);
  EXPECT_EQ(p.end, file.size());
}

TEST_F(BuildWalkTest, FailedBuildKeepsEveryEntryFinishedBeforeTheFailure) {
  // Enough small files that a good part of them is still gathered, not yet written, when a
  // name that Windows cannot hold stops the walk.
  for (int i = 0; i < 40; ++i) Write("f" + std::to_string(i) + ".txt", std::string(100 + i, 'a' + i % 26));
  Write("bad?.txt", "x");
  // The file system's own listing order tells which files come before the bad name.
  size_t before = 0;
  DIR* d = opendir(src_.c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "bad?.txt") break;
    if (name != "." && name != "..") ++before;
  }
  closedir(d);

  EXPECT_THROW(Build("f0.txt"), std::runtime_error);
  const std::string file = ReadBytes(target_);
  const produced::Payload p = ReadEntries(file);
  EXPECT_EQ(p.entries.size(), before);
  EXPECT_FALSE(p.ended);
  EXPECT_EQ(p.end, file.size()) << "the target ends after the last whole entry";
}

TEST_F(BuildWalkTest, LargeFilesAndSmallPiecesKeepTheirOrder) {
  // A file larger than what is gathered at once goes around the gathered pieces; its
  // neighbours must still come out in order and whole.
  std::string big(3 * 1048576 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 13));
  Write("big.bin", big);
  for (int i = 0; i < 20; ++i) Write("s" + std::to_string(i), std::string(i * 997, 'k'));
  ASSERT_EQ(Build("big.bin"), BuildOutcome::Built);

  const std::string file = ReadBytes(target_);
  const produced::Payload p = ReadEntries(file);
  ASSERT_EQ(p.entries.size(), 21u);
  for (const produced::Entry& e : p.entries) {
    if (e.name == "big.bin") {
      EXPECT_TRUE(e.data == big);
    } else {
      EXPECT_EQ(e.data, std::string(std::stoi(e.name.substr(1)) * 997, 'k')) << e.name;
    }
  }
  EXPECT_EQ(p.end, file.size());
}

TEST_F(BuildWalkTest, ImageChecksumCoversThePayloadWhateverItsByteParity) {
  const peimg::Bytes image = peimg::Image(peimg::ImageShape{});
  const size_t fieldAt = peimg::OptionalAt() + 64;
  // Odd name lengths and odd sizes put the following pieces at odd offsets; the big file
  // crosses chunk and gathering boundaries.
  std::string big(1048576 + 3, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(0xFF - i % 251);
  Write("big.bin", big);
  Write("odd", "\xFF\xFE\xFD");
  Write("e", "");
  Write("run.exe", "rr");
  for (const bool stubOfOddSize : {false, true}) {
    peimg::Bytes stub = image;
    if (stubOfOddSize) stub.push_back(0x5A);  // trailing bytes after the last section, as an odd-sized image has
    StubImage.data = stub.data();
    StubImage.size = stub.size();
    ASSERT_EQ(Build(), BuildOutcome::Built);
    const std::string file = ReadBytes(target_);
    ASSERT_GT(file.size(), stub.size() + big.size());
    EXPECT_EQ(produced::Le(file, fieldAt, 4), produced::PlainPeChecksum(file, fieldAt)) << "stub of odd size: " << stubOfOddSize;
    EXPECT_NE(produced::Le(file, fieldAt, 4), 0u);
  }
}

}  // namespace
