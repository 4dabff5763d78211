// The Windows builder in hidden mode, as a build script would call it.
#include <gtest/gtest.h>

#include <map>

#include "harness.h"
#include "tests/common/produced_file.h"

using namespace harness;

namespace {

std::map<std::string, produced::Entry> ParsePayload(const std::string& file) {
  const produced::Payload p = produced::Parse(file, produced::PayloadStart(file));
  EXPECT_TRUE(p.Whole(file.size()));
  return p.ByName();
}

class HiddenBuild : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = TempDir("kb"); }
  void TearDown() override { RemoveTree(dir_); }
  std::string dir_;
};

}  // namespace

// The Windows builder keeps its switch rules: fewer than three positionals open nothing.
TEST_F(HiddenBuild, FewerThanThreePositionalsEndAtOnce) {
  const RunResult r = RunKesdra("-h " + Quote(dir_ + "src") + " setup.exe");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
}

// A folder whose path passes what Windows allows would be left out without a word by the
// listing: the build says so instead, before the target exists.
TEST_F(HiddenBuild, APathLongerThanWindowsAllowsIsRefusedBeforeWriting) {
  WriteFile(dir_ + "src\\run.bat", "@echo off");
  std::wstring deep = L"\\\\?\\";
  for (char c : dir_ + "src") deep += static_cast<wchar_t>(c);
  for (int level = 0; level < 18; ++level) {
    deep += L"\\level-of-fifteen";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  HANDLE file = CreateFileW((deep + L"\\deep.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);

  const RunResult r = RunKesdra("-h -o -c " + Quote(dir_ + "src") + " run.bat " + Quote(dir_ + "sfx.exe"));
  ASSERT_EQ(r.boxes.size(), 1u) << "exit code " << r.exitCode;
  EXPECT_EQ(r.boxes[0].caption, "Error");
  EXPECT_NE(r.boxes[0].text.find("is longer than the 259 characters Windows allows"), std::string::npos)
      << r.boxes[0].text;
  EXPECT_NE(r.boxes[0].text.find(dir_ + "src\\level-of-fifteen\\"), std::string::npos) << r.boxes[0].text;
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_FALSE(Exists(dir_ + "sfx.exe"));
}

TEST_F(HiddenBuild, WritesACompleteFileWithoutAnyWindowAndNamesOutsideTheCodePageAreReachedOrRefused) {
  // A source folder whose name the code page cannot hold is still the folder given.
  WriteFile(dir_ + "src\\Setup.exe", "program");
  WriteFile(dir_ + "src\\docs\\readme.txt", "hello");
  SetFileAttributesA((dir_ + "src\\docs\\readme.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  const std::string src = dir_ + u8"\u0141src\\";
  ASSERT_TRUE(MoveFileW(Wide(dir_ + "src").c_str(), Wide(src).c_str()));
  const RunResult built = RunKesdra("-h -o -c " + Quote(src) + " setup.exe " + Quote(dir_ + "out\\sfx.exe"));
  ASSERT_TRUE(built.started);
  EXPECT_EQ(built.exitCode, 0u);
  EXPECT_TRUE(built.boxes.empty());
  auto entries = ParsePayload(ReadFile(dir_ + "out\\sfx.exe"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries["Setup.exe"].launch, 1);  // typed in another letter case
  EXPECT_EQ(entries["Setup.exe"].data, "program");
  EXPECT_EQ(entries["docs\\readme.txt"].launch, 0);
  EXPECT_EQ(entries["docs\\readme.txt"].attr & FILE_ATTRIBUTE_HIDDEN, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));

  WriteFile(dir_ + "plain\\run.bat", "@echo off");

  // A file of such a name is refused by its path before anything is written, instead of
  // being listed as its look-alike ("Lodz.txt") that no file has.
  HANDLE file = CreateFileW(Wide(dir_ + u8"plain\\\u0141\u00f3d\u017a.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  // The same with -z, whose UTF-8 names this builder cannot reach by a code-page path either:
  // two such folders are refused for the code page, not taken for case twins.
  for (const char* z : {"", "-z "}) {
    if (*z) {
      DeleteFileW(Wide(dir_ + u8"plain\\\u0141\u00f3d\u017a.txt").c_str());
      CreateDirectoryW(Wide(dir_ + u8"plain\\\u041a\u043e\u0442").c_str(), nullptr);
      CreateDirectoryW(Wide(dir_ + u8"plain\\\u041f\u0451\u0441").c_str(), nullptr);
    }
    SCOPED_TRACE(z);
    const RunResult r = RunKesdra(std::string(z) + "-h -o -c " + Quote(dir_ + "plain") + " run.bat " + Quote(dir_ + "refused.exe"));
    ASSERT_EQ(r.boxes.size(), 1u) << "exit code " << r.exitCode;
    EXPECT_NE(r.boxes[0].text.find(dir_ + "plain\\?"), std::string::npos) << r.boxes[0].text;
    EXPECT_NE(r.boxes[0].text.find("code page " + std::to_string(GetACP())), std::string::npos) << r.boxes[0].text;
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_FALSE(Exists(dir_ + "refused.exe"));
  }
}

// A missing source, what the stub would refuse to run, and a target that is a file of the
// payload are refused with an error box before anything is written; it names what was typed.
TEST_F(HiddenBuild, FilesThatCouldNotRunOrWouldDestroyASourceAreRefused) {
  WriteFile(dir_ + "src\\run.bat", "@echo off");
  WriteFile(dir_ + "empty\\e.txt", "");
  struct Case {
    std::string source, exe, target, named;
  } const cases[] = {
      {"missing", "setup.exe", "sfx.exe", "Source directory does not exist\r\n\r\n" + dir_ + "missing\\"},
      {"src", "sub\\..\\run.bat", "sfx.exe", "without \"..\"\r\n\r\nsub\\..\\run.bat"},
      {"src", "run.bat", "src\\RUN.BAT", "would destroy that file\r\n\r\n" + dir_ + "src\\RUN.BAT"},
      {"empty", "e.txt", "sfx.exe", "no file with data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe);
    const RunResult r = RunKesdra("-h -o -c " + Quote(dir_ + c.source) + " " + c.exe + " " + Quote(dir_ + c.target));
    ASSERT_EQ(r.boxes.size(), 1u) << "exit code " << r.exitCode;
    EXPECT_EQ(r.boxes[0].caption, "Error");
    EXPECT_NE(r.boxes[0].text.find(c.named), std::string::npos) << r.boxes[0].text;
    EXPECT_EQ(r.exitCode, 1u);
  }
  EXPECT_FALSE(Exists(dir_ + "sfx.exe"));
  EXPECT_EQ(ReadFile(dir_ + "src\\run.bat"), "@echo off");
}

// A declined overwrite ends with status 0. A target that cannot be replaced (in use, as a
// running program is) fails at the final rename with its message: the old file stays whole,
// and no temporary file is left.
TEST_F(HiddenBuild, ADeclinedOrInUseTargetStaysAsItWas) {
  WriteFile(dir_ + "src\\run.bat", "@echo off");
  WriteFile(dir_ + "sfx.exe", "previous");
  const RunResult declined = RunKesdra("-h -c " + Quote(dir_ + "src") + " run.bat " + Quote(dir_ + "sfx.exe"));
  ASSERT_EQ(declined.boxes.size(), 1u);
  EXPECT_EQ(declined.boxes[0].text, "Target file already exists\r\nOverwrite?");
  EXPECT_EQ(declined.boxes[0].caption, "Confirmation");
  EXPECT_EQ(declined.exitCode, 0u);
  EXPECT_EQ(ReadFile(dir_ + "sfx.exe"), "previous");
  HANDLE held = CreateFileA((dir_ + "sfx.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const RunResult r = RunKesdra("-h -o -c " + Quote(dir_ + "src") + " run.bat " + Quote(dir_ + "sfx.exe"));
  CloseHandle(held);
  ASSERT_EQ(r.boxes.size(), 1u) << "exit code " << r.exitCode;
  EXPECT_NE(r.boxes[0].text.find("on replacing the target, which is kept as it was: " + dir_ + "sfx.exe"),
            std::string::npos)
      << r.boxes[0].text;
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_EQ(ReadFile(dir_ + "sfx.exe"), "previous");
  EXPECT_FALSE(Exists(dir_ + "sfx.exe.kesdra-tmp"));
}

// With SOURCE_DATE_EPOCH two builds of one tree are the same bytes, a later file time is
// that moment's, and without it the identifier is drawn anew.
TEST_F(HiddenBuild, SourceDateEpochMakesBuildsReproducible) {
  WriteFile(dir_ + "src\\run.bat", "@echo off");
  WriteFile(dir_ + "src\\docs\\notes.txt", "notes");
  const std::string args = "-h -o -c " + Quote(dir_ + "src") + " run.bat ";
  RunResult first, second;
  {
    const ScopedEnv epoch("SOURCE_DATE_EPOCH", "946684800");  // 2000-01-01 00:00:00 UTC
    first = RunKesdra(args + Quote(dir_ + "a.exe"));
    second = RunKesdra(args + Quote(dir_ + "b.exe"));
  }
  const RunResult drawn = RunKesdra(args + Quote(dir_ + "c.exe"));
  ASSERT_EQ(first.exitCode + second.exitCode + drawn.exitCode, 0u);
  EXPECT_EQ(ReadFile(dir_ + "a.exe"), ReadFile(dir_ + "b.exe"));
  FILETIME utc{}, local{};
  const uint64_t ticks = (946684800ull + 11644473600ull) * 10000000ull;
  utc.dwLowDateTime = static_cast<DWORD>(ticks), utc.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local) && FileTimeToDosDateTime(&local, &date, &time));
  EXPECT_EQ(static_cast<uint32_t>(ParsePayload(ReadFile(dir_ + "a.exe"))["run.bat"].time),
            static_cast<uint32_t>(date) << 16 | time);
  const std::string a = ReadFile(dir_ + "a.exe"), c = ReadFile(dir_ + "c.exe");
  EXPECT_NE(produced::Parse(a, produced::PayloadStart(a)).id, produced::Parse(c, produced::PayloadStart(c)).id);
}

// A library left beside kesdra.exe under the name of one that the window code loads by name
// after start-up (uxtheme, msimg32) is never loaded, with the window or without: the builder
// takes such libraries from the system folder only. Windows searches a program's own folder
// first for any library that is no known one; Wine does so for the names set native-first
// (here for this program alone). version.dll is not planted: Wine's own user32 imports it,
// so under Wine every program with a window loads it before any of its code runs (that
// kesdra.exe does not import it is checked from the image by the native tests).
TEST_F(HiddenBuild, LibrariesPlantedBesideTheBuilderAreNotLoaded) {
  const std::string exe = dir_ + "kesdraplant.exe", appKey = "Software\\Wine\\AppDefaults\\kesdraplant.exe";
  WriteFile(exe, ReadFile(ProgramDir() + "kesdra.exe"));
  WriteFile(dir_ + "src\\run.bat", "@echo off");
  for (const char* name : {"uxtheme", "msimg32"}) {
    WriteFile(dir_ + name + ".dll", ReadFile(ProgramDir() + "planted_dll.dll"));
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, (appKey + "\\DllOverrides").c_str(), name, REG_SZ, "native,builtin", 15),
              ERROR_SUCCESS);
  }
  for (const char* mode : {"-h ", ""}) {
    const RunResult r = RunAndAnswer(Quote(exe) + " " + mode + "-o -c " + Quote(dir_ + "src") + " run.bat " +
                                     Quote(dir_ + "sfx" + mode + ".exe"));
    EXPECT_EQ(r.exitCode, 0u) << mode;
    EXPECT_TRUE(r.boxes.empty()) << mode;
    EXPECT_TRUE(Exists(dir_ + "sfx" + mode + ".exe")) << mode;
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, appKey.c_str());
  // The planted library leaves a marker beside itself when loaded.
  EXPECT_FALSE(Exists(dir_ + "uxtheme.dll.loaded"));
  EXPECT_FALSE(Exists(dir_ + "msimg32.dll.loaded"));
}
