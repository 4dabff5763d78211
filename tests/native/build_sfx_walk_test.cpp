// How the walk meets the file system: links, what a failed build leaves behind now that
// small pieces are gathered before they are written, and the image checksum that is kept
// while the payload is written instead of in a second pass.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/time.h>

#include <algorithm>
#include <functional>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "platform/fs.h"
#include "tests/native/pe_test_images.h"
#include "tests/native/quiet_builds.h"

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

class BuildWalkTest : public TempTreeTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TempTreeTest::SetUp());
    target_ = root_ + "/out.exe";
    UseQuietBuilds(kStub, kStubSize, 1);
  }
  BuildOutcome Build(const std::string& exe = "run.exe") { return BuildSfx(src_, exe, target_); }

  std::string target_;
};

TEST_F(BuildWalkTest, LinksAreFollowedToFilesAndFolders) {
  Write("run.exe", "r");
  mkdir((src_ + "/dir").c_str(), 0755);
  Write("dir/inner.txt", "inner");
  ASSERT_EQ(symlink("run.exe", (src_ + "/alias.exe").c_str()), 0);
  ASSERT_EQ(symlink("dir", (src_ + "/dirlink").c_str()), 0);
  ASSERT_EQ(Build(), BuildOutcome::Built);

  const std::string file = ReadBytes(target_);
  const produced::Payload p = ReadEntries(file);
  std::map<std::string, std::string> byName;
  for (const produced::Entry& e : p.entries) byName[e.name] = e.data;
  EXPECT_EQ(byName.size(), 4u);
  EXPECT_EQ(byName["alias.exe"], "r");
  EXPECT_EQ(byName["dir\\inner.txt"], "inner");
  EXPECT_EQ(byName["dirlink\\inner.txt"], "inner");
  EXPECT_TRUE(p.ended);
}

// Whatever cannot become a file is refused by name before anything is written: the build
// neither hangs on a FIFO nor leaves an entry out silently.
TEST_F(BuildWalkTest, EntriesThatCannotBecomeFilesAreRefusedByName) {
  struct Case {
    std::string name, why;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"fifo", "is a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
      {"dangling", "leads nowhere", [](const std::string& p) { ASSERT_EQ(symlink("nowhere", p.c_str()), 0); }},
      {"self", "leads back to itself", [](const std::string& p) { ASSERT_EQ(symlink("self", p.c_str()), 0); }},
      {"up", "a loop of links", [](const std::string& p) { ASSERT_EQ(symlink(".", p.c_str()), 0); }},
      {"back\\slash.txt", "cannot be stored", [](const std::string& p) { std::ofstream(p) << "b"; }},
      {"tab\tname", "cannot be stored", [](const std::string& p) { std::ofstream(p) << "t"; }},
  };
  Write("run.exe", "r");
  mkdir((root_ + "/out").c_str(), 0755);
  target_ = root_ + "/out/sfx.exe";
  struct Errors : BuildHost {
    void ShowError(const std::string& message) override { last = message; }
    std::string last;
  } host;
  SetBuildHost(&host);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = src_ + "/" + c.name;
    c.make(path);
    host.last.clear();
    EXPECT_EQ(Build(c.name == "fifo" ? "fifo" : "run.exe"), BuildOutcome::Rejected);
    EXPECT_NE(host.last.find(path), std::string::npos) << host.last;
    EXPECT_NE(host.last.find(c.why), std::string::npos) << host.last;
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + root_ + "/out)\"").c_str()), 0) << "nothing is written";
    unlink(path.c_str());
  }
  SetBuildHost(nullptr);
}

// With SOURCE_DATE_EPOCH two builds of one tree are the same bytes: the identifier comes
// from the entries, and later times are that moment's.
TEST_F(BuildWalkTest, SourceDateEpochMakesBuildsReproducible) {
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
  const auto m = ReadEntries(first).ByName();
  EXPECT_EQ(static_cast<uint32_t>(m.at("late.txt").time), DosTimeOfUnixTime(946684800));
  EXPECT_LT(static_cast<uint32_t>(m.at("run.exe").time), DosTimeOfUnixTime(946684800)) << "earlier times stay";
  EXPECT_NE(ReadEntries(changed).id, ReadEntries(first).id) << "other bytes, another identifier";
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

namespace {

// The order Windows lists a folder in, for names of printable ASCII: upper-cased, then
// compared byte by byte (which is UTF-16 code unit order for these).
bool NtfsBefore(const std::string& a, const std::string& b) {
  std::string ua = a, ub = b;
  for (char& c : ua) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (char& c : ub) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ua < ub;
}

}  // namespace

TEST_F(BuildWalkTest, EachFolderIsListedInTheOrderWindowsListsIt) {
  std::vector<std::string> names;
  unsigned seed = 7;
  const std::string alphabet = "abcXYZ019_-.~";
  for (int i = 0; i < 120; ++i) {
    std::string name;
    for (int n = 1 + i % 5; n > 0; --n) name += alphabet[((seed = seed * 1103515245u + 12345u) >> 16) % alphabet.size()];
    // A name ending in a dot cannot be stored: Windows would strip the dot.
    if (name.back() == '.' || std::find_if(names.begin(), names.end(), [&](const std::string& o) {
          return !NtfsBefore(o, name) && !NtfsBefore(name, o);
        }) != names.end())
      continue;  // no two names of one folder may differ in letter case only
    names.push_back(name);
    Write(name, name);
  }
  ASSERT_GT(names.size(), 60u);
  std::sort(names.begin(), names.end(), NtfsBefore);
  ASSERT_EQ(Build(names.front()), BuildOutcome::Built);
  EXPECT_EQ(ReadEntries(ReadBytes(target_)).Names(), names);
}

TEST_F(BuildWalkTest, SubfoldersStandWhereTheirNamesSortAmongTheFiles) {
  for (const char* f : {"b.txt", "D/x", "D/B/y", "D/a", "_u", "Z", "e\xC3\xA9", "e\xE2\x82\xAC", "ez"}) {
    if (std::strchr(f, '/')) mkdir((src_ + "/" + std::string(f).substr(0, std::string(f).rfind('/'))).c_str(), 0755);
    Write(f, "x");
  }
  ASSERT_EQ(Build("b.txt"), BuildOutcome::Built);
  // "_" (0x5F) sorts after the letters once they are upper-cased; é (U+00C9 upper-cased)
  // after "Z", and € (U+20AC) after é.
  EXPECT_EQ(ReadEntries(ReadBytes(target_)).Names(),
            (std::vector<std::string>{"b.txt", "D\\a", "D\\B\\y", "D\\x", "ez", "e\xE9", "e\x80", "Z", "_u"}));
}

// Times are shifted by the offset from UTC in force now, as Windows does, so two files whose
// UTC times differ by a whole number of days store the same time of day even when one lies
// in summer time and the other does not; dates MS-DOS time cannot hold go to its ends.
TEST_F(BuildWalkTest, TimesUseTheOffsetInForceNowAndStayWithinWhatDosTimeHolds) {
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

  const auto m = ReadEntries(ReadBytes(target_)).ByName();
  const uint32_t dayTime = (12 + local.tm_gmtoff / 3600) << 11 | 45 << 5 | 15;
  EXPECT_EQ(m.at("june").time & 0xFFFF, static_cast<int32_t>(dayTime));
  EXPECT_EQ(m.at("january").time & 0xFFFF, static_cast<int32_t>(dayTime));
  EXPECT_EQ(static_cast<uint32_t>(m.at("june").time) >> 16, (45u << 9) | (6u << 5) | 15u);
  EXPECT_EQ(static_cast<uint32_t>(m.at("early").time), (1u << 21) | (1u << 16)) << "1980-01-01 00:00:00";
  EXPECT_EQ(static_cast<uint32_t>(m.at("late").time), 0xFF9FBF7Du) << "2107-12-31 23:59:58";
}
