// Builds real trees on disk and reads the produced file back with a parser of its own,
// written from the container layout, not from the writer's code; how the walk meets the
// file system (links, FIFOs, folder order, times); and what a failed build leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "platform/fs.h"
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
  BuildOutcome Build(const std::string& exe = "run.exe") { return BuildSfx(src_, exe, target_); }

  RecordingHost host_;
  std::string target_;
};

}  // namespace

// Names are stored as code page 1252, hidden and read-only files carry their attributes,
// links are followed to files and folders (the identifier and the times are pinned by the
// tests of their own below).
TEST_F(BuildSfxTest, WritesStubIdentifierEntriesAndEndRecord) {
  Write("setup.exe", "program");
  Write("docs/readme.txt", "hello");
  Write("docs/deep/er/note.txt", "");
  Write(".hidden", "h");
  Write("ro", "r");
  Write("caf\xC3\xA9.txt", "c");
  chmod((src_ + "/ro").c_str(), 0444);
  ASSERT_EQ(symlink("setup.exe", (src_ + "/alias.exe").c_str()), 0);
  ASSERT_EQ(symlink("docs", (src_ + "/docslink").c_str()), 0);
  ASSERT_EQ(Build("setup.exe"), BuildOutcome::Built);
  auto m = ParseProduced(target_).ByName();
  ASSERT_EQ(m.size(), 9u);
  EXPECT_EQ(m["alias.exe"].data, "program");
  EXPECT_EQ(m["alias.exe"].launch, 0);
  EXPECT_EQ(m["docslink\\readme.txt"].data, "hello");
  EXPECT_EQ(m.count("docslink\\deep\\er\\note.txt"), 1u);
  EXPECT_EQ(m["setup.exe"].launch, 1);
  EXPECT_EQ(m["setup.exe"].data, "program");
  EXPECT_EQ(m["docs\\readme.txt"].launch, 0);
  EXPECT_EQ(m["docs\\readme.txt"].data, "hello");
  EXPECT_EQ(m["docs\\deep\\er\\note.txt"].data, "");
  EXPECT_EQ(m[".hidden"].attr, 0x22u);
  EXPECT_EQ(m["ro"].attr, 0x21u);
  EXPECT_EQ(m["caf\xE9.txt"].data, "c");
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

  // The launch rule compares stored names, whichever delimiter was typed.
  for (const char* exe : {"./docs/readme.txt", "docs\\readme.txt"}) {
    ASSERT_EQ(BuildSfx(src_, exe, target_), BuildOutcome::Built);
    EXPECT_EQ(ParseProduced(target_).ByName()["docs\\readme.txt"].launch, 1) << exe;
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

TEST_F(BuildSfxTest, TargetReplacedOnlyOnYesAndSuccessReportedOnlyWhenAsked) {
  Write("run.exe", "r");
  std::system(("mkdir -p " + root_ + "/out && echo keep > " + target_).c_str());
  OverwriteTarget = false;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Declined);
  EXPECT_EQ(ReadBytes(target_), "keep\n");
  EXPECT_EQ(host_.questions, std::vector<std::string>{"Target file already exists\r\nOverwrite?"});
  host_.answer = true;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(ParseProduced(target_).entries.size(), 1u);
  EXPECT_TRUE(host_.infos.empty()) << "success is reported only when asked for";
  OverwriteTarget = true;
  ReportSuccess = true;
  EXPECT_EQ(Build("run.exe"), BuildOutcome::Built);
  EXPECT_EQ(host_.questions.size(), 2u) << "with OverwriteTarget nobody is asked";
  EXPECT_EQ(host_.infos, std::vector<std::string>{"SFX module has been successfully created"});
}

TEST_F(BuildSfxTest, TargetInsideTheSourceIsNotPackedIntoItselfAndABareOneGoesToTheCurrentFolder) {
  Write("run.exe", "r");
  // A killed build's temporary file is listed, then reopened as this build's output.
  Write("out.exe.kesdra-tmp", std::string(20, 'x'));
  target_ = src_ + "/sub/../out.exe";
  ASSERT_EQ(Build("run.exe"), BuildOutcome::Built);
  auto m = ParseProduced(src_ + "/out.exe").ByName();
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(m.count("run.exe"), 1u);
  // A bare target name goes to the current directory.
  ASSERT_EQ(std::remove((src_ + "/out.exe").c_str()), 0);
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
    if (path == refused) return kErrAccessDenied;
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

TEST_F(BuildFailureTest, AnUnreadableTargetFolderOrSourceOrAShrunkenFileFailsWithItsPath) {
  Write("run.exe", "r");
  Write("sub/shrank.txt", "was longer when listed");
  fs_.refused = target_ + ".kesdra-tmp";
  ExpectFailure(kErrAccessDenied, target_);
  watcher_ = WatchingHost();
  fs_.refused = src_ + "/run.exe";
  ExpectFailure(kErrAccessDenied, fs_.refused);
  watcher_ = WatchingHost();
  fs_.refused.clear();
  fs_.shortFile = src_ + "/sub/shrank.txt";
  ExpectFailure(kErrReadBeyondEnd, fs_.shortFile);
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

// Whatever cannot become a working file is refused by name before anything is written: names
// Windows cannot hold, case twins, links that lead nowhere; the build does not hang on a FIFO
// nor leave an entry out silently, and an existing target stays as it was.
TEST_F(BuildSfxTest, EntriesThatCannotBecomeFilesAreRefusedByName) {
  const auto file = [](const std::string& p) { payload_test::WriteAll(p, "x"); };
  struct Case {
    std::string name, why;
    std::function<void(const std::string&)> make;
    std::string twin = "";  // written first: a name that differs in letter case only
  };
  const Case cases[] = {
      {"fifo", "is a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
      {"dangling", "leads nowhere", [](const std::string& p) { ASSERT_EQ(symlink("nowhere", p.c_str()), 0); }},
      {"self", "leads back to itself", [](const std::string& p) { ASSERT_EQ(symlink("self", p.c_str()), 0); }},
      {"up", "a loop of links", [](const std::string& p) { ASSERT_EQ(symlink(".", p.c_str()), 0); }},
      {"back\\slash.txt", "cannot be stored", file}, {"tab\tname", "cannot be stored", file},
      {"what?.txt", "", file}, {"sub/a|b", "", file},
      {"\xD0\x96.txt", "", file},  // Cyrillic: outside code page 1252
      {"READ.ME", "", file, "Read.me"}, {"DOCS", "", file, "docs/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + src_ + "' && mkdir -p '" + src_ + "' '" + root_ + "/out' && echo keep > " + target_).c_str());
    Write("run.exe", "r");
    if (!c.twin.empty()) Write(c.twin, "x");
    c.make(src_ + "/" + c.name);
    host_.errors.clear();
    EXPECT_EQ(Build(c.name == "fifo" ? "fifo" : "run.exe"), BuildOutcome::Rejected);
    ASSERT_EQ(host_.errors.size(), 1u);
    EXPECT_NE(host_.errors[0].find(src_ + "/" + c.name), std::string::npos) << host_.errors[0];
    EXPECT_NE(host_.errors[0].find(c.why), std::string::npos) << host_.errors[0];
    EXPECT_EQ(ReadBytes(target_), "keep\n");
    EXPECT_EQ(std::system(("test \"$(ls -A " + root_ + "/out)\" = setup-sfx.exe").c_str()), 0) << "nothing else is written";
  }
}

// With SOURCE_DATE_EPOCH two builds of one tree are the same bytes: the identifier comes
// from the entries, and later times are that moment's.
TEST_F(BuildSfxTest, SourceDateEpochMakesBuildsReproducible) {
  Write("run.exe", "r");
  Write("late.txt", "l");
  struct timeval old[2] = {{315532800 + 86400 * 400, 0}, {315532800 + 86400 * 400, 0}};  // 1981
  ASSERT_EQ(utimes((src_ + "/run.exe").c_str(), old), 0);
  setenv("SOURCE_DATE_EPOCH", "946684800", 1);  // 2000-01-01 00:00:00 UTC
  SeedRandom(1);
  ASSERT_EQ(Build(), BuildOutcome::Built);
  const std::string first = ReadBytes(target_);
  SeedRandom(2);
  Write("late.txt", "l");  // touched again: a later time, clamped all the same
  ASSERT_EQ(Build(), BuildOutcome::Built);
  const std::string second = ReadBytes(target_);
  Write("late.txt", "L");
  ASSERT_EQ(Build(), BuildOutcome::Built);
  const std::string changed = ReadBytes(target_);
  setenv("SOURCE_DATE_EPOCH", "12x", 1);
  EXPECT_THROW(Build(), std::runtime_error);
  unsetenv("SOURCE_DATE_EPOCH");

  EXPECT_EQ(first, second);
  const auto m = produced::Parse(first, sizeof kStub).ByName();
  EXPECT_EQ(static_cast<uint32_t>(m.at("late.txt").time), DosTimeOfUnixTime(946684800));
  EXPECT_LT(static_cast<uint32_t>(m.at("run.exe").time), DosTimeOfUnixTime(946684800)) << "earlier times stay";
  EXPECT_NE(produced::Parse(changed, sizeof kStub).id, produced::Parse(first, sizeof kStub).id) << "other bytes, another identifier";
}

// A file larger than what is gathered at once goes around the gathered pieces; its
// neighbours must still come out whole. Chunk boundaries leave no trace, empty folders none.
TEST_F(BuildSfxTest, LargeFilesAndSmallPiecesComeOutWhole) {
  std::map<std::string, std::string> files;
  std::string& big = files["big.bin"];
  big.resize(3 * 1048576 + 7);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 13));
  files["exact"] = big.substr(0, 1048576);
  files["over"] = big.substr(0, 1048577);
  for (int i = 0; i < 20; ++i) files["s" + std::to_string(i)] = std::string(i * 997, 'k');
  for (const auto& [name, data] : files) Write(name, data);
  ASSERT_EQ(std::system(("mkdir -p " + src_ + "/empty/inner").c_str()), 0);
  ASSERT_EQ(Build("big.bin"), BuildOutcome::Built);
  const Payload p = ParseProduced(target_);
  ASSERT_EQ(p.entries.size(), files.size());
  for (const produced::Entry& e : p.entries) EXPECT_TRUE(files.count(e.name) && e.data == files[e.name]) << e.name;
}

TEST_F(BuildSfxTest, ImageChecksumCoversThePayloadWhateverItsByteParity) {
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

// Each folder in the order Windows lists it: names upper-cased, then compared as UTF-16 code
// units, a name before the longer ones it begins.
TEST_F(BuildSfxTest, EachFolderIsListedInTheOrderWindowsListsIt) {
  for (const char* f : {"b.txt", "D/x", "D/B/y", "D/a", "_u", "Z", "e\xC3\xA9", "e\xE2\x82\xAC", "ez", "e", "~", "9", "-x"})
    Write(f, "x");
  ASSERT_EQ(Build("b.txt"), BuildOutcome::Built);
  // Digits and "-" before the letters; "_" (0x5F) after them once they are upper-cased, "~"
  // last; é (U+00C9 upper-cased) after "Z", and € (U+20AC) after é.
  EXPECT_EQ(ParseProduced(target_).Names(), (std::vector<std::string>{"-x", "9", "b.txt", "D\\a", "D\\B\\y", "D\\x", "e", "ez",
                                                                     "e\xE9", "e\x80", "Z", "_u", "~"}));
}

// Times are shifted by the offset from UTC in force now, as Windows does, so two files whose
// UTC times differ by a whole number of days store the same time of day even when one lies
// in summer time and the other does not; dates MS-DOS time cannot hold go to its ends.
TEST_F(BuildSfxTest, TimesUseTheOffsetInForceNowAndStayWithinWhatDosTimeHolds) {
  const char* zone = std::getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct File {
    const char* name;
    time_t utc;
  };
  const File files[] = {{"june", 1750000000 - 1750000000 % 86400 + 45930},   // 2025-06-15 12:45:30 UTC
                        {"january", 1736899200 + 45930},                      // 2025-01-15 12:45:30 UTC
                        {"early", 86400 * 365},                               // 1971
                        {"late", 4354819200}};                                // 2108-01-01
  for (const File& f : files) {
    Write(f.name, "t");
    struct timeval times[2] = {{f.utc, 0}, {f.utc, 0}};
    ASSERT_EQ(utimes((src_ + "/" + f.name).c_str(), times), 0);
  }
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  const BuildOutcome outcome = Build("june");
  if (zone) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  ASSERT_EQ(outcome, BuildOutcome::Built);

  const auto m = ParseProduced(target_).ByName();
  const uint32_t dayTime = (12 + local.tm_gmtoff / 3600) << 11 | 45 << 5 | 15;
  EXPECT_EQ(m.at("june").time & 0xFFFF, static_cast<int32_t>(dayTime));
  EXPECT_EQ(m.at("january").time & 0xFFFF, static_cast<int32_t>(dayTime));
  EXPECT_EQ(static_cast<uint32_t>(m.at("june").time) >> 16, (45u << 9) | (6u << 5) | 15u);
  EXPECT_EQ(static_cast<uint32_t>(m.at("early").time), (1u << 21) | (1u << 16)) << "1980-01-01 00:00:00";
  EXPECT_EQ(static_cast<uint32_t>(m.at("late").time), 0xFF9FBF7Du) << "2107-12-31 23:59:58";
}
