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
#include "tests/common/produced_file.h"
#include "tests/native/pe_test_images.h"
#include "tests/native/quiet_builds.h"

namespace {

const char kStub[] = "MZ-this-stands-for-the-stub-image";

using produced::Payload;
using produced::ReadBytes;

// Reads a produced file whose stub is kStub; fails the test on any layout error.
Payload ParseProduced(const std::string& path) {
  const std::string file = ReadBytes(path);
  EXPECT_EQ(file.compare(0, sizeof kStub, std::string(kStub, sizeof kStub)), 0);
  const Payload p = produced::Parse(file, sizeof kStub);
  EXPECT_TRUE(p.Whole(file.size()));
  return p;
}

// Answers the build's questions in-process and keeps what it was told.
struct RecordingHost : BuildHost {
  void ShowError(const std::string& message) override { errors.push_back(message); }
  void ShowInfo(const std::string& message) override { infos.push_back(message); }
  bool AskYesNo(const std::string& message, bool defaultYes) override {
    questions.push_back(message);
    EXPECT_FALSE(defaultYes) << "a question that could destroy data defaults to No";
    return answer;
  }
  bool answer = false;
  std::vector<std::string> errors, infos, questions;
};

class BuildSfxTest : public TempTreeTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TempTreeTest::SetUp());
    target_ = root_ + "/out/setup-sfx.exe";
    UseQuietBuilds(kStub, sizeof kStub, 12345);
    SetBuildHost(&host_);
  }
  void TearDown() override {
    SetBuildHost(nullptr);
    TempTreeTest::TearDown();
  }
  BuildOutcome Build(const std::string& exe) { return BuildSfx(src_, exe, target_); }

  RecordingHost host_;
  std::string target_;
};

}  // namespace

TEST_F(BuildSfxTest, WritesStubIdentifierEntriesAndEndRecord) {
  Write("setup.exe", "program");
  Write("docs/readme.txt", "hello");
  Write("docs/deep/er/note.txt", "");
  ASSERT_EQ(Build("setup.exe"), BuildOutcome::Built);
  const Payload p = ParseProduced(target_);
  ASSERT_EQ(p.id.size(), 10u);
  EXPECT_EQ(p.id.substr(0, 2), "00");
  EXPECT_EQ(p.id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  auto m = p.ByName();
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
  const Payload p = ParseProduced(target_);
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
  auto m = ParseProduced(target_).ByName();
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m["exact"].data, big.substr(0, 1048576));
  EXPECT_EQ(m["over"].data, big);
}

// A payload the stub would refuse to run is refused before the target is touched, naming
// the executable as typed and the path it was matched to; so is a target that is a file of
// the payload. A leading "./" is the shell's way of naming a file here and is dropped.
TEST_F(BuildSfxTest, FilesThatCouldNotRunOrWouldDestroyASourceAreRefused) {
  struct Case {
    std::string exe, target, named;
  };
  Write("run.bat", "@echo hi");
  Write("empty/e.txt", "");
  Write("docs/readme.txt", "read me");
  const std::string keep = root_ + "/out/keep.exe";
  const Case cases[] = {
      {"sub/../run.bat", keep, "without \"..\"\r\n\r\nsub/../run.bat"},
      {"/run.bat", keep, "without \"..\"\r\n\r\n/run.bat"},
      {"docs//readme.txt", keep, "would start nothing\r\n\r\ndocs//readme.txt (" + src_ + "/docs//readme.txt)"},
      {"run.bat", src_ + "/run.bat", "would destroy that file\r\n\r\n" + src_ + "/run.bat"},
      {"run.bat", src_ + "/docs/../docs/readme.txt", "(" + src_ + "/docs/readme.txt)"},
  };
  std::system(("mkdir -p " + root_ + "/out && echo keep > " + keep).c_str());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe + " -> " + c.target);
    host_.errors.clear();
    EXPECT_EQ(BuildSfx(src_, c.exe, c.target), BuildOutcome::Rejected);
    ASSERT_EQ(host_.errors.size(), 1u);
    EXPECT_NE(host_.errors[0].find(c.named), std::string::npos) << host_.errors[0];
  }
  EXPECT_EQ(ReadBytes(keep), "keep\n");
  EXPECT_EQ(ReadBytes(src_ + "/run.bat"), "@echo hi");
  EXPECT_EQ(ReadBytes(src_ + "/docs/readme.txt"), "read me");

  // Only empty files: the stub would find no data.
  host_.errors.clear();
  EXPECT_EQ(BuildSfx(src_ + "/empty", "e.txt", keep), BuildOutcome::Rejected);
  ASSERT_EQ(host_.errors.size(), 1u);
  EXPECT_NE(host_.errors[0].find("no file with data"), std::string::npos) << host_.errors[0];
  EXPECT_EQ(ReadBytes(keep), "keep\n");

  ASSERT_EQ(BuildSfx(src_, "./docs/readme.txt", target_), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).ByName()["docs\\readme.txt"].launch, 1);
}

TEST_F(BuildSfxTest, HiddenAndReadOnlyFilesCarryTheirAttributes) {
  Write("run.exe", "r");
  Write(".hidden", "h");
  Write("ro", "r");
  chmod((src_ + "/ro").c_str(), 0444);
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  auto m = ParseProduced(target_).ByName();
  EXPECT_EQ(m[".hidden"].attr, 0x22u);
  EXPECT_EQ(m["ro"].attr, 0x21u);
}

TEST_F(BuildSfxTest, LaunchRuleComparesStoredNamesAfterUpperCasing) {
  Write("bin/Setup.exe", "s");
  ASSERT_EQ(Build("bin/Setup.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).ByName()["bin\\Setup.exe"].launch, 1);
  ASSERT_EQ(Build("bin\\Setup.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).ByName()["bin\\Setup.exe"].launch, 1);
}

TEST_F(BuildSfxTest, NamesAreStoredAsCodePage1252) {
  Write("run.exe", "r");
  Write("caf\xC3\xA9.txt", "c");
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).ByName().count("caf\xE9.txt"), 1u);
}

// What could not become a working file is refused before the target is touched: an
// existing target stays as it was, even with OverwriteTarget.
TEST_F(BuildSfxTest, TreesThatCannotWorkAreRefusedBeforeTheTargetIsTouched) {
  struct Case {
    std::vector<std::string> files;
    std::string named;  // a path the message must name
  };
  const Case cases[] = {
      {{"what?.txt"}, "what?.txt"},
      {{"sub/a|b"}, "sub/a|b"},
      {{"\xD0\x96.txt"}, "\xD0\x96.txt"},  // Cyrillic: outside code page 1252
      {{"Read.me", "READ.ME"}, "READ.ME"},
      {{"docs/x", "DOCS"}, "DOCS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    std::system(("rm -rf " + src_ + " && mkdir -p " + src_ + " " + root_ + "/out").c_str());
    Write("run.exe", "r");
    for (const std::string& f : c.files) Write(f, "x");
    std::system(("echo keep > " + target_).c_str());
    host_.errors.clear();
    EXPECT_EQ(Build("run.exe"), BuildOutcome::Rejected);
    ASSERT_EQ(host_.errors.size(), 1u);
    EXPECT_NE(host_.errors[0].find(src_ + "/" + c.named), std::string::npos) << host_.errors[0];
    EXPECT_EQ(ReadBytes(target_), "keep\n");
  }
}

TEST_F(BuildSfxTest, RejectedInputsSayWhatIsMissingAndWriteNothing) {
  Write("run.exe", "r");
  EXPECT_EQ(BuildSfx(root_ + "/nope", "run.exe", target_), BuildOutcome::Rejected);
  EXPECT_EQ(BuildSfx("  " + src_ + "  ", "", target_), BuildOutcome::Rejected);
  EXPECT_EQ(BuildSfx(src_, "missing.exe", target_), BuildOutcome::Rejected);
  EXPECT_EQ(host_.errors, (std::vector<std::string>{
                              "Source directory does not exist\r\n\r\n" + root_ + "/nope/",
                              "Executable file does not exist\r\n\r\n" + src_ + "/",
                              "Executable file does not exist\r\n\r\n" + src_ + "/missing.exe",
                          }));
  EXPECT_FALSE(NativeFileSystem().FileExists(target_));
}

TEST_F(BuildSfxTest, ExistingTargetIsReplacedOnlyWhenTheUserSaysYes) {
  Write("run.exe", "r");
  std::system(("mkdir -p " + root_ + "/out && echo keep > " + target_).c_str());
  OverwriteTarget = false;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Declined);
  EXPECT_EQ(ReadBytes(target_), "keep\n");
  EXPECT_EQ(host_.questions, std::vector<std::string>{"Target file already exists\r\nOverwrite?"});
  host_.answer = true;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).entries.size(), 1u);
  OverwriteTarget = true;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(host_.questions.size(), 2u) << "with OverwriteTarget nobody is asked";
}

TEST_F(BuildSfxTest, SuccessIsReportedOnlyWhenAskedFor) {
  Write("run.exe", "r");
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_TRUE(host_.infos.empty());
  ReportSuccess = true;
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(host_.infos, std::vector<std::string>{"SFX module has been successfully created"});
}

TEST_F(BuildSfxTest, TargetInsideTheSourceIsNotPackedIntoItself) {
  Write("run.exe", "r");
  // A killed build's temporary file is listed, then reopened as this build's output.
  Write("out.exe.kesdra-tmp", std::string(20, 'x'));
  target_ = src_ + "/sub/../out.exe";
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  auto m = ParseProduced(src_ + "/out.exe").ByName();
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(m.count("run.exe"), 1u);
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

// Known answers of the generator from seed 1, and the identifier a build writes from them.
TEST_F(BuildSfxTest, IdentifiersComeFromTheSeededGenerator) {
  SeedRandom(1);
  EXPECT_EQ(RandomBelow(0x7FFFFFFFu), 67387906u);
  EXPECT_EQ(RandomBelow(0x7FFFFFFFu), 1849087502u);
  Write("run.exe", "r");
  SeedRandom(1);
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).id, "0004044202");
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).id, "006E36D60E") << "each build draws anew";
  for (int i = 0; i < 1000; ++i) EXPECT_LT(RandomBelow(0x7FFFFFFFu), 0x7FFFFFFFu);
}

namespace {

// The real disk with faults put in on purpose: the n-th write of the build fails as a full
// disk does, one source file comes up short as a file that shrank does, one folder cannot
// be listed, one path cannot be opened.
class FaultyFileSystem : public FileSystem {
 public:
  int writes = 0;          // counted over every file the build opened
  int failingWrite = 0;    // 1-based; 0: none fails
  std::string shortFile;   // reads from this file end early
  std::string unlistable;  // this folder cannot be listed
  std::string refused;     // opening this path is refused
  int refusedCode = kErrAccessDenied;
  bool failRename = false;  // as a target that is in use refuses to be replaced

  bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) override {
    return dir != unlistable && disk_.ListDirectory(dir, visit);
  }
  bool DirExists(const std::string& path) override { return disk_.DirExists(path); }
  bool FileExists(const std::string& path) override { return disk_.FileExists(path); }
  bool CreateOneDirectory(const std::string& path) override { return disk_.CreateOneDirectory(path); }
  int Rename(const std::string& from, const std::string& to) override {
    return failRename ? kErrAccessDenied : disk_.Rename(from, to);
  }
  int Remove(const std::string& path) override { return disk_.Remove(path); }
  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    if (path == refused) return refusedCode;
    std::unique_ptr<File> real;
    if (const int err = disk_.Open(path, mode, &real)) return err;
    file->reset(new FaultyFile(std::move(real), *this));
    return kErrNone;
  }

 private:
  class FaultyFile : public File {
   public:
    FaultyFile(std::unique_ptr<File> real, FaultyFileSystem& fs) : File(real->path()), real_(std::move(real)), fs_(fs) {}
    int ReadAt(int64_t offset, void* buffer, int64_t count) override {
      return path() == fs_.shortFile ? kErrReadBeyondEnd : real_->ReadAt(offset, buffer, count);
    }
    int WriteAt(int64_t offset, const void* buffer, int64_t count) override {
      return ++fs_.writes == fs_.failingWrite ? kErrDiskFull : real_->WriteAt(offset, buffer, count);
    }
    int GetSize(int64_t* size) override { return real_->GetSize(size); }
    int Truncate(int64_t size) override { return real_->Truncate(size); }
    FileIdentity Identity() override { return real_->Identity(); }
    int Close() override { return real_->Close(); }

   private:
    std::unique_ptr<File> real_;
    FaultyFileSystem& fs_;
  };

  FileSystem& disk_ = NativeFileSystem();
};

// Keeps the busy notice's state and whether the program was asked to end.
struct WatchingHost : RecordingHost {
  void ShowBusy(bool on) override { busy = on, busyShown = busyShown || on; }
  void Terminate() override { terminated = true; }
  bool busy = false, busyShown = false, terminated = false;
};

class BuildFailureTest : public BuildSfxTest {
 protected:
  void SetUp() override {
    BuildSfxTest::SetUp();
    SetBuildHost(&watcher_);
    SetBuildFileSystem(&fs_);
    ReportSuccess = true;
  }
  void TearDown() override {
    SetBuildFileSystem(nullptr);
    BuildSfxTest::TearDown();
  }
  // The build's failure, which must name `path` and carry `code`.
  void ExpectFailure(int code, const std::string& path, const std::string& exe = "run.exe") {
    try {
      Build(exe);
      ADD_FAILURE() << "the build did not fail";
    } catch (const InOutError& e) {
      EXPECT_EQ(e.code(), code) << e.what();
      EXPECT_EQ(e.path(), path) << e.what();
    }
    EXPECT_TRUE(watcher_.busyShown);
    EXPECT_FALSE(watcher_.busy) << "the busy notice comes down on the way out";
    EXPECT_FALSE(watcher_.terminated);
    EXPECT_TRUE(watcher_.infos.empty()) << "no success message after a failure";
    EXPECT_FALSE(NativeFileSystem().FileExists(target_ + ".kesdra-tmp")) << "no temporary file is left";
  }

  WatchingHost watcher_;
  FaultyFileSystem fs_;
};

}  // namespace

// Every write of a build, from the stub image to the checksum in the headers, is checked:
// whichever one meets a full disk stops the build with "Disk full" and the target's name,
// and the previous target stays exactly as it was; so it does when the final rename
// fails, as it does on Windows for a target that is running.
TEST_F(BuildFailureTest, AFailedBuildLeavesThePreviousTargetAsItWas) {
  const peimg::Bytes stub = peimg::Image(peimg::ImageShape{});  // a PE image, so the checksum is written too
  StubImage.data = stub.data();
  StubImage.size = stub.size();
  Write("run.exe", "r");
  Write("big.bin", std::string(2 * 1048576 + 5, 'b'));
  for (int i = 0; i < 30; ++i) Write("d/f" + std::to_string(i), std::string(i * 31, 'f'));
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  const int writes = fs_.writes;
  const std::string good = ReadBytes(target_);
  ASSERT_GT(writes, 3);
  Write("d/f0", "changed");  // so that a rebuild that got through would differ

  for (int n = 1; n <= writes; ++n) {
    SCOPED_TRACE("failing write " + std::to_string(n) + " of " + std::to_string(writes));
    watcher_ = WatchingHost();
    fs_.writes = 0;
    fs_.failingWrite = n;
    ExpectFailure(kErrDiskFull, target_);
    EXPECT_EQ(ReadBytes(target_), good);
  }
  fs_.failingWrite = 0;
  fs_.failRename = true;
  watcher_ = WatchingHost();
  ExpectFailure(kErrAccessDenied, target_);
  EXPECT_EQ(ReadBytes(target_), good);
}

TEST_F(BuildFailureTest, ASourceFileThatShrankStopsTheBuildNamingIt) {
  Write("run.exe", "r");
  Write("sub/shrank.txt", "was longer when listed");
  fs_.shortFile = src_ + "/sub/shrank.txt";
  ExpectFailure(kErrReadBeyondEnd, fs_.shortFile);
}

TEST_F(BuildFailureTest, AnUnreadableTargetFolderOrSourceFailsWithItsPath) {
  Write("run.exe", "r");
  fs_.refused = target_ + ".kesdra-tmp";
  ExpectFailure(kErrAccessDenied, target_);
  watcher_ = WatchingHost();
  fs_.refused = src_ + "/run.exe";
  ExpectFailure(kErrAccessDenied, fs_.refused);
}

TEST_F(BuildFailureTest, AFolderThatCannotBeListedIsLeftOutSilently) {
  Write("run.exe", "r");
  Write("locked/inner.txt", "i");
  Write("open/inner.txt", "o");
  fs_.unlistable = src_ + "/locked/";
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(watcher_.infos.size(), 1u);
  EXPECT_TRUE(watcher_.errors.empty());
  const auto m = ParseProduced(target_).ByName();
  EXPECT_EQ(m.count("open\\inner.txt"), 1u);
  EXPECT_EQ(m.count("locked\\inner.txt"), 0u);
  EXPECT_EQ(m.size(), 2u);
}
