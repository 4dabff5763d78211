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
constexpr size_t kIdSize = 11, kHeaderSize = 17, kSumSize = 4;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
  return v;
}

struct Entry {
  std::string name, data;
};

// Reads entries from just after the identifier until the end record or the end of the file;
// a partial target simply stops early. Counts the bytes of whole entries in `parsedBytes`.
std::vector<Entry> ReadEntries(const std::string& file, size_t* parsedBytes) {
  std::vector<Entry> entries;
  size_t at = kStubSize + kIdSize;
  while (at + kHeaderSize <= file.size()) {
    const uint32_t nameLen = Le32(file, at + 1), size = Le32(file, at + 5);
    if (nameLen == 0 && size == 0) break;
    const size_t end = at + kHeaderSize + nameLen + size + kSumSize;
    if (end > file.size()) break;
    Entry e{file.substr(at + kHeaderSize, nameLen), file.substr(at + kHeaderSize + nameLen, size)};
    uint32_t sum = 0;
    for (unsigned char c : e.name + e.data) sum += c;
    EXPECT_EQ(Le32(file, end - kSumSize), sum) << e.name;
    entries.push_back(e);
    at = end;
  }
  *parsedBytes = at;
  return entries;
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

  size_t parsed = 0;
  const std::string file = ReadAll(target_);
  std::map<std::string, std::string> byName;
  for (const Entry& e : ReadEntries(file, &parsed)) byName[e.name] = e.data;
  EXPECT_EQ(byName.size(), 3u);
  EXPECT_EQ(byName["alias.exe"], "r");
  EXPECT_EQ(byName["dir\\inner.txt"], "inner");
  EXPECT_EQ(byName.count("dirlink\\inner.txt"), 0u);
  EXPECT_EQ(parsed + kHeaderSize, file.size());
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
  size_t parsed = 0;
  const std::string file = ReadAll(target_);
  EXPECT_EQ(ReadEntries(file, &parsed).size(), before);
  EXPECT_EQ(parsed, file.size()) << "the target ends after the last whole entry";
}

TEST_F(BuildWalkTest, LargeFilesAndSmallPiecesKeepTheirOrder) {
  // A file larger than what is gathered at once goes around the gathered pieces; its
  // neighbours must still come out in order and whole.
  std::string big(3 * 1048576 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 13));
  Write("big.bin", big);
  for (int i = 0; i < 20; ++i) Write("s" + std::to_string(i), std::string(i * 997, 'k'));
  ASSERT_EQ(Build("big.bin"), BuildOutcome::Built);

  size_t parsed = 0;
  const std::string file = ReadAll(target_);
  const std::vector<Entry> entries = ReadEntries(file, &parsed);
  ASSERT_EQ(entries.size(), 21u);
  for (const Entry& e : entries) {
    if (e.name == "big.bin") {
      EXPECT_TRUE(e.data == big);
    } else {
      EXPECT_EQ(e.data, std::string(std::stoi(e.name.substr(1)) * 997, 'k')) << e.name;
    }
  }
  EXPECT_EQ(parsed + kHeaderSize, file.size());
}

// The system's PE checksum, written out plainly: 16-bit little-endian words, the checksum
// field counted as zero, carries folded back in after every word, then the file size.
uint32_t PlainPeChecksum(std::string file, size_t fieldAt) {
  const size_t size = file.size();
  file.replace(fieldAt, 4, 4, '\0');
  if (file.size() % 2) file.push_back('\0');
  uint32_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    sum += static_cast<unsigned char>(file[i]) | static_cast<unsigned char>(file[i + 1]) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(size);
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
    const std::string file = ReadAll(target_);
    ASSERT_GT(file.size(), stub.size() + big.size());
    EXPECT_EQ(Le32(file, fieldAt), PlainPeChecksum(file, fieldAt)) << "stub of odd size: " << stubOfOddSize;
    EXPECT_NE(Le32(file, fieldAt), 0u);
  }
}

}  // namespace
