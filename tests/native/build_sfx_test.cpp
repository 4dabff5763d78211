// Builds real trees on disk and reads the produced file back with a parser of its own,
// written from the container layout, not from the writer's code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "platform/fs.h"

namespace {

const char kStub[] = "MZ-this-stands-for-the-stub-image";

struct ParsedEntry {
  int launch;
  std::string name;
  std::string data;
  int32_t time;
  uint32_t attr;
};

struct Parsed {
  std::string id;
  std::vector<ParsedEntry> entries;
  size_t payloadBytes = 0;
};

int32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
  return static_cast<int32_t>(v);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Reads a produced file whose stub is kStub; fails the test on any layout error.
Parsed ParseProduced(const std::string& path) {
  const std::string file = ReadAll(path);
  Parsed p;
  EXPECT_EQ(file.compare(0, sizeof kStub, std::string(kStub, sizeof kStub)), 0);
  size_t at = sizeof kStub;
  p.payloadBytes = file.size() - at;
  EXPECT_EQ(static_cast<unsigned char>(file.at(at)), 10);
  p.id = file.substr(at + 1, 10);
  at += 11;
  for (;;) {
    const int launch = static_cast<unsigned char>(file.at(at));
    const int32_t nameLen = Le32(file, at + 1), size = Le32(file, at + 5), time = Le32(file, at + 9);
    const uint32_t attr = static_cast<uint32_t>(Le32(file, at + 13));
    at += 17;
    if (nameLen == 0 && size == 0 && time == 0 && attr == 0) break;
    ParsedEntry e{launch, file.substr(at, nameLen), file.substr(at + nameLen, size), time, attr};
    uint32_t sum = 0;
    for (unsigned char c : e.name + e.data) sum += c;
    EXPECT_EQ(static_cast<uint32_t>(Le32(file, at + nameLen + size)), sum) << e.name;
    at += nameLen + size + 4;
    p.entries.push_back(e);
  }
  EXPECT_EQ(at, file.size()) << "nothing may follow the end record";
  return p;
}

class BuildSfxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kesdra-build-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    src_ = root_ + "/src";
    mkdir(src_.c_str(), 0755);
    target_ = root_ + "/out/setup-sfx.exe";
    StubImage.data = kStub;
    StubImage.size = sizeof kStub;
    OverwriteTarget = true;
    ReportSuccess = false;
    CommandLineMode = true;
    SeedRandom(12345);
  }
  void TearDown() override {
    std::system(("chmod -R u+w " + root_ + " && rm -rf " + root_).c_str());
  }
  void Write(const std::string& rel, const std::string& data) {
    const std::string path = src_ + "/" + rel;
    std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
    std::ofstream(path, std::ios::binary) << data;
  }
  std::map<std::string, ParsedEntry> ByName(const Parsed& p) {
    std::map<std::string, ParsedEntry> m;
    for (const auto& e : p.entries) m[e.name] = e;
    return m;
  }
  BuildOutcome Build(const std::string& exe) { return BuildSfx(src_, exe, target_); }

  std::string root_, src_, target_;
};

}  // namespace

TEST_F(BuildSfxTest, WritesStubIdentifierEntriesAndEndRecord) {
  Write("setup.exe", "program");
  Write("docs/readme.txt", "hello");
  Write("docs/deep/er/note.txt", "");
  ASSERT_EQ(Build("setup.exe"), BuildOutcome::Built);
  const Parsed p = ParseProduced(target_);
  ASSERT_EQ(p.id.size(), 10u);
  EXPECT_EQ(p.id.substr(0, 2), "00");
  EXPECT_EQ(p.id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  auto m = ByName(p);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m["setup.exe"].launch, 1);
  EXPECT_EQ(m["setup.exe"].data, "program");
  EXPECT_EQ(m["docs\\readme.txt"].launch, 0);
  EXPECT_EQ(m["docs\\readme.txt"].data, "hello");
  EXPECT_EQ(m["docs\\deep\\er\\note.txt"].data, "");
  EXPECT_EQ(m["setup.exe"].attr & 0x20u, 0x20u);
  EXPECT_EQ(m["setup.exe"].attr & 0x18u, 0u);
  EXPECT_NE(m["setup.exe"].time, 0);
}

// Pre-order: a directory's files come before its parent's next entry, whatever the order.
TEST_F(BuildSfxTest, EntriesFollowThePreOrderOfTheTree) {
  Write("a.exe", "x");
  Write("d1/f1", "1");
  Write("d1/d2/f2", "2");
  Write("d1/f3", "3");
  Write("z", "4");
  ASSERT_EQ(Build("a.exe"), BuildOutcome::Built);
  const Parsed p = ParseProduced(target_);
  std::vector<std::string> names;
  for (const auto& e : p.entries) names.push_back(e.name);
  ASSERT_EQ(names.size(), 5u);
  // The entries of d1 stand together, and d1\d2\f2 among them.
  size_t first = names.size(), last = 0;
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i].rfind("d1\\", 0) == 0) first = std::min(first, i), last = std::max(last, i);
  EXPECT_EQ(last - first, 2u);
}

TEST_F(BuildSfxTest, ChunkBoundariesLeaveNoTraceAndEmptyDirectoriesNone) {
  std::string big(1048577, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 1000);
  Write("run.exe", "r");
  Write("exact", big.substr(0, 1048576));
  Write("over", big);
  mkdir((src_ + "/empty").c_str(), 0755);
  mkdir((src_ + "/empty/inner").c_str(), 0755);
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  auto m = ByName(ParseProduced(target_));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m["exact"].data, big.substr(0, 1048576));
  EXPECT_EQ(m["over"].data, big);
}

TEST_F(BuildSfxTest, EmptySourceGivesA28BytePayload) {
  Write("only/.keep-dir-marker", "");
  std::system(("rm " + src_ + "/only/.keep-dir-marker").c_str());
  Write("x", "");  // the executable must exist for the build to start
  ASSERT_EQ(Build("x"), BuildOutcome::Built);
  const Parsed p = ParseProduced(target_);
  EXPECT_EQ(p.payloadBytes, 11u + 17u + 17u + 1u + 4u);  // identifier, one empty file, end record
  EXPECT_EQ(p.entries.size(), 1u);
}

TEST_F(BuildSfxTest, HiddenAndReadOnlyFilesCarryTheirAttributes) {
  Write("run.exe", "r");
  Write(".hidden", "h");
  Write("ro", "r");
  chmod((src_ + "/ro").c_str(), 0444);
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  auto m = ByName(ParseProduced(target_));
  EXPECT_EQ(m[".hidden"].attr, 0x22u);
  EXPECT_EQ(m["ro"].attr, 0x21u);
}

TEST_F(BuildSfxTest, LaunchRuleComparesStoredNamesAfterUpperCasing) {
  Write("bin/Setup.exe", "s");
  ASSERT_EQ(Build("bin/Setup.exe"), BuildOutcome::Built);
  EXPECT_EQ(ByName(ParseProduced(target_))["bin\\Setup.exe"].launch, 1);
  ASSERT_EQ(Build("bin\\Setup.exe"), BuildOutcome::Built);
  EXPECT_EQ(ByName(ParseProduced(target_))["bin\\Setup.exe"].launch, 1);
  // Passes the existence check but is not a stored name: nothing is marked.
  ASSERT_EQ(Build("bin/../bin/Setup.exe"), BuildOutcome::Built);
  EXPECT_EQ(ByName(ParseProduced(target_))["bin\\Setup.exe"].launch, 0);
}

TEST_F(BuildSfxTest, NamesAreStoredAsCodePage1252) {
  Write("run.exe", "r");
  Write("caf\xC3\xA9.txt", "c");
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(ByName(ParseProduced(target_)).count("caf\xE9.txt"), 1u);
}

TEST_F(BuildSfxTest, NamesWindowsCannotHoldStopTheBuildNamingTheFile) {
  Write("run.exe", "r");
  Write("what?.txt", "q");
  try {
    Build("run.exe");
    FAIL() << "expected the build to stop";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("what?.txt"), std::string::npos) << e.what();
  }
}

TEST_F(BuildSfxTest, RejectedInputsSayWhatIsMissingAndWriteNothing) {
  Write("run.exe", "r");
  testing::internal::CaptureStderr();
  EXPECT_EQ(BuildSfx(root_ + "/nope", "run.exe", target_), BuildOutcome::Rejected);
  EXPECT_EQ(BuildSfx("  " + src_ + "  ", "", target_), BuildOutcome::Rejected);
  EXPECT_EQ(BuildSfx(src_, "missing.exe", target_), BuildOutcome::Rejected);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Source directory does not exist: " + root_ + "/nope/"), std::string::npos) << err;
  EXPECT_NE(err.find("Executable file does not exist: " + src_ + "/\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Executable file does not exist: " + src_ + "/missing.exe"), std::string::npos) << err;
  EXPECT_FALSE(FileExists(target_));
}

TEST_F(BuildSfxTest, ExistingTargetIsKeptWhenNobodyConfirms) {
  Write("run.exe", "r");
  std::system(("mkdir -p " + root_ + "/out && echo keep > " + target_).c_str());
  OverwriteTarget = false;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Declined);  // standard input is not a terminal
  EXPECT_EQ(ReadAll(target_), "keep\n");
}

TEST_F(BuildSfxTest, TargetInsideTheSourceIsNotPackedIntoItself) {
  Write("run.exe", "r");
  target_ = src_ + "/sub/../out.exe";
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  auto m = ByName(ParseProduced(src_ + "/out.exe"));
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(m.count("run.exe"), 1u);
}

TEST_F(BuildSfxTest, UnwritableTargetFailsWithPathAndAccessDenied) {
  Write("run.exe", "r");
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  mkdir((root_ + "/locked").c_str(), 0555);
  target_ = root_ + "/locked/out.exe";
  try {
    Build("run.exe");
    FAIL();
  } catch (const InOutError& e) {
    EXPECT_EQ(e.code(), 5);
    EXPECT_NE(std::string(e.what()).find(target_), std::string::npos);
  }
}

TEST_F(BuildSfxTest, BareTargetNameGoesToTheCurrentDirectory) {
  Write("run.exe", "r");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  target_ = "bare.exe";
  const BuildOutcome outcome = Build("run.exe");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(outcome, BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(root_ + "/bare.exe").entries.size(), 1u);
}

TEST(PayloadIdentifier, FollowsTheLinearCongruentialGenerator) {
  SeedRandom(1);
  // seed 1 -> 134775814; draw = high half of 0x7FFFFFFF * 134775814.
  EXPECT_EQ(RandomBelow(0x7FFFFFFFu), static_cast<uint32_t>((0x7FFFFFFFull * 134775814ull) >> 32));
  for (int i = 0; i < 1000; ++i) EXPECT_LT(RandomBelow(0x7FFFFFFFu), 0x7FFFFFFFu);
}
