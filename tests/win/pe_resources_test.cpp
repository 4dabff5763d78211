// The portable resource writer checked by Windows itself (Wine's resource, version, icon and
// checksum functions): the transfers into the real stub, and icon rewrites of Wine's own
// programs, which still start afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <imagehlp.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "builder/transfer.h"
#include "harness.h"

using namespace harness;

namespace {

const std::string kWine64 = "Z:\\usr\\lib\\x86_64-linux-gnu\\wine\\x86_64-windows\\";

// A resource name as the system hands it over: "#n" for numbers, else the text.
std::string NameText(LPCSTR name) {
  return IS_INTRESOURCE(name) ? "#" + std::to_string(reinterpret_cast<uintptr_t>(name)) : std::string(name);
}
LPCSTR NameArg(const std::string& text) {
  return text[0] == '#' ? MAKEINTRESOURCEA(std::stoi(text.substr(1))) : text.c_str();
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR list) {
  reinterpret_cast<std::vector<std::string>*>(list)->push_back(NameText(name));
  return TRUE;
}
BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
  return TRUE;
}

using Found = std::optional<std::string>;

// What the system's resource functions show of a file.
class SystemView {
 public:
  explicit SystemView(const std::string& path) : module_(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~SystemView() {
    if (module_) FreeLibrary(module_);
  }
  bool ok() const { return module_ != nullptr; }
  std::vector<std::string> Names(LPCSTR type) const {
    std::vector<std::string> names;
    EnumResourceNamesA(module_, type, CollectName, reinterpret_cast<LONG_PTR>(&names));
    return names;
  }
  std::vector<WORD> Languages(LPCSTR type, const std::string& name) const {
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module_, type, NameArg(name), CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }
  // Bytes of a resource in a language, or in the one the system picks; none when it finds none.
  Found Bytes(LPCSTR type, const std::string& name, WORD language) const {
    return Load(FindResourceExA(module_, type, NameArg(name), language));
  }
  Found DefaultBytes(LPCSTR type, const std::string& name) const {
    return Load(FindResourceA(module_, NameArg(name), type));
  }

 private:
  Found Load(HRSRC res) const {
    if (!res) return std::nullopt;
    return std::string(static_cast<const char*>(LockResource(LoadResource(module_, res))), SizeofResource(module_, res));
  }
  HMODULE module_;
};

std::vector<WORD> ListedImages(const std::string& group) {
  std::vector<WORD> ids;
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  for (WORD i = 0; i < count; ++i) ids.push_back(*reinterpret_cast<const WORD*>(group.data() + 6 + 14 * i + 12));
  return ids;
}

std::string VersionBlock(const std::string& path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (!size) return std::string();
  std::string block(size, '\0');
  if (!GetFileVersionInfoA(path.c_str(), 0, size, &block[0])) return std::string();
  return block;
}

std::string VersionString(const std::string& path, const char* field) {
  std::string block = VersionBlock(path);
  if (block.empty()) return std::string();
  WORD* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(&block[0], "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < 4)
    return std::string();
  char query[128];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], field);
  char* value = nullptr;
  if (!VerQueryValueA(&block[0], query, reinterpret_cast<void**>(&value), &length) || !value) return std::string();
  return value;
}

UINT IconCount(const std::string& path) { return ExtractIconExA(path.c_str(), -1, nullptr, nullptr, 0); }

// The system's own checksum of the file and the one in its headers.
void ExpectChecksumAsSystem(const std::string& path) {
  DWORD header = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumA(path.c_str(), &header, &computed), CHECKSUM_SUCCESS) << path;
  EXPECT_EQ(header, computed) << path;
}

// Every language of `group` in `from` is in `to` under `as`, with its images.
void ExpectGroupCarried(const SystemView& from, const std::string& group, const SystemView& to, const std::string& as) {
  const std::vector<WORD> languages = from.Languages(RT_GROUP_ICON, group);
  ASSERT_FALSE(languages.empty());
  EXPECT_EQ(to.Languages(RT_GROUP_ICON, as), languages);
  for (WORD language : languages) {
    const Found bytes = from.Bytes(RT_GROUP_ICON, group, language);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(to.Bytes(RT_GROUP_ICON, as, language), bytes);
    for (WORD id : ListedImages(*bytes)) {
      const Found image = from.DefaultBytes(RT_ICON, "#" + std::to_string(id));
      EXPECT_TRUE(image) << id;
      EXPECT_EQ(to.Bytes(RT_ICON, "#" + std::to_string(id), language), image) << id;
    }
  }
}

class PeResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = TempDir("peres"); }
  void TearDown() override { RemoveTree(dir_); }
  std::string Copy(const std::string& from, const std::string& name) {
    const std::string to = dir_ + name;
    EXPECT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE)) << from;
    SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    return to;
  }
  std::string dir_;
};

// The fixtures: executables made with windres next to this test, one layout each.
class FixtureTest : public PeResourcesTest {
 protected:
  void SetUp() override {
    PeResourcesTest::SetUp();
    target_ = Copy(ProgramDir() + "sfxhead.exe", "produced.exe");
  }
  static std::string Fixture(const char* name) { return ProgramDir() + "fixture_" + name + ".exe"; }
  std::string target_;
};

TEST_F(FixtureTest, TwoGroupsOnlyTheFirstInDirectoryOrder) {
  ASSERT_TRUE(TransferIcons(Fixture("two_groups"), target_));
  SystemView source(Fixture("two_groups")), produced(target_);
  ASSERT_TRUE(source.ok() && produced.ok());
  const std::vector<std::string> groups = source.Names(RT_GROUP_ICON);
  EXPECT_EQ(groups, (std::vector<std::string>{"APPICON", "BICON", "#1"}));
  EXPECT_EQ(produced.Names(RT_GROUP_ICON), std::vector<std::string>{"MAINICON"});
  ExpectGroupCarried(source, "APPICON", produced, "MAINICON");
  for (const std::string& other : {std::string("BICON"), std::string("#1")})
    for (WORD id : ListedImages(source.Bytes(RT_GROUP_ICON, other, 1033).value_or("")))
      EXPECT_FALSE(produced.Bytes(RT_ICON, "#" + std::to_string(id), 1033)) << "image " << id << " of a later group";
  EXPECT_EQ(IconCount(target_), 1u);
}

TEST_F(FixtureTest, GroupInTwoLanguages) {
  ASSERT_TRUE(TransferIcons(Fixture("two_languages"), target_));
  SystemView source(Fixture("two_languages")), produced(target_);
  ASSERT_TRUE(source.ok() && produced.ok());
  EXPECT_EQ(source.Languages(RT_GROUP_ICON, "#100"), (std::vector<WORD>{1031, 1033}));
  ExpectGroupCarried(source, "#100", produced, "MAINICON");
  EXPECT_FALSE(produced.Bytes(RT_GROUP_ICON, "MAINICON", 0x405)) << "the stub's group is gone";
}

TEST_F(FixtureTest, GroupWithoutImages) {
  ASSERT_TRUE(TransferIcons(Fixture("empty_group"), target_));
  SystemView produced(target_);
  ASSERT_TRUE(produced.ok());
  EXPECT_EQ(produced.Bytes(RT_GROUP_ICON, "MAINICON", 0), Found(std::string("\0\0\1\0\0\0", 6)));
  EXPECT_TRUE(produced.Names(RT_ICON).empty()) << "the stub's image went with its group";
}

TEST_F(FixtureTest, VersionInTwoLanguagesAndUnderATextName) {
  const Found iconsBefore = SystemView(target_).Bytes(RT_GROUP_ICON, "MAINICON", 0x405);
  ASSERT_TRUE(TransferVersionInfo(Fixture("version"), target_));
  SystemView source(Fixture("version")), produced(target_);
  ASSERT_TRUE(source.ok() && produced.ok());
  EXPECT_EQ(source.Names(RT_VERSION), (std::vector<std::string>{"MYVERSION", "#1"}));
  EXPECT_EQ(produced.Names(RT_VERSION), source.Names(RT_VERSION));
  for (const std::string& name : source.Names(RT_VERSION)) {
    EXPECT_EQ(produced.Languages(RT_VERSION, name), source.Languages(RT_VERSION, name)) << name;
    for (WORD language : source.Languages(RT_VERSION, name)) {
      EXPECT_TRUE(source.Bytes(RT_VERSION, name, language)) << name << " " << language;
      EXPECT_EQ(produced.Bytes(RT_VERSION, name, language), source.Bytes(RT_VERSION, name, language));
    }
  }
  EXPECT_EQ(VersionString(target_, "FileDescription"), VersionString(Fixture("version"), "FileDescription"));
  EXPECT_EQ(VersionString(target_, "FileVersion"), "2.3.4.5");
  EXPECT_EQ(produced.Bytes(RT_GROUP_ICON, "MAINICON", 0x405), iconsBefore) << "icons untouched";
}

// A file that is no program and a program without resources: no icons to carry over (a
// failure that leaves the stub as it was), and no version, which for a program is no failure.
TEST_F(FixtureTest, NothingToTransferLeavesTheStubAlone) {
  const std::string before = ReadFile(target_);
  WriteFile(dir_ + "setup.bat", "@echo off\r\n");
  EXPECT_FALSE(TransferIcons(dir_ + "setup.bat", target_));
  EXPECT_FALSE(TransferVersionInfo(dir_ + "setup.bat", target_));
  EXPECT_FALSE(TransferIcons(Fixture("no_resources"), target_));
  EXPECT_EQ(ReadFile(target_), before);
  EXPECT_TRUE(TransferVersionInfo(Fixture("no_resources"), target_));
  SystemView produced(target_);
  ASSERT_TRUE(produced.ok());
  EXPECT_EQ(produced.Names(RT_GROUP_ICON), std::vector<std::string>{"MAINICON"});
  EXPECT_TRUE(produced.Names(RT_VERSION).empty());
  EXPECT_TRUE(VersionBlock(target_).empty());
}

// Starts a program and says how it ended: its exit code, or "running" if it was still up
// after a few seconds (then it is ended).
std::string HowItEnds(const std::string& commandLine) {
  const RunResult r = RunAndAnswer(commandLine, std::string(), AnswerOk, 4000);
  if (!r.started) return "did not start";
  return r.timedOut ? "running" : "exit " + std::to_string(r.exitCode);
}

// The builder carries regedit's icon and version into the stub, which keeps its other
// resources; the file's checksum is the system's, and it runs.
TEST_F(PeResourcesTest, BuiltAroundRegeditItShowsItsResourcesAndRuns) {
  const std::string exe = kWine64 + "regedit.exe";
  CreateDirectoryA((dir_ + "src").c_str(), nullptr);
  Copy(exe, "src\\regedit.exe");
  const std::string produced = dir_ + "regedit-sfx.exe";
  const RunResult build = RunKesdra("-o -c -h " + Quote(dir_ + "src\\") + " regedit.exe " + Quote(produced));
  ASSERT_TRUE(build.started);
  EXPECT_EQ(build.exitCode, 0u);
  for (const BoxSeen& box : build.boxes) ADD_FAILURE() << box.caption << ": " << box.text;
  ExpectChecksumAsSystem(produced);

  SystemView source(exe), view(produced);
  ASSERT_TRUE(source.ok() && view.ok());
  EXPECT_EQ(view.Names(RT_GROUP_ICON), std::vector<std::string>{"MAINICON"});
  ExpectGroupCarried(source, source.Names(RT_GROUP_ICON).at(0), view, "MAINICON");
  const std::vector<WORD> languages = view.Languages(RT_GROUP_ICON, "MAINICON");
  EXPECT_TRUE(!view.Bytes(RT_ICON, "#1", 0x405) || std::find(languages.begin(), languages.end(), 0x405) != languages.end())
      << "the stub's own image went with its group";
  EXPECT_EQ(IconCount(produced), 1u);
  EXPECT_FALSE(VersionBlock(exe).empty());
  EXPECT_EQ(VersionBlock(produced), VersionBlock(exe));
  EXPECT_FALSE(view.Names(RT_STRING).empty());

  // It runs: the stub unpacks regedit and hands it these parameters.
  const std::string exported = dir_ + "exported.reg";
  const RunResult run = RunAndAnswer(Quote(produced) + " /E " + Quote(exported) + " HKEY_CURRENT_USER\\Software\\Wine");
  ASSERT_TRUE(run.started);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  for (const BoxSeen& box : run.boxes) ADD_FAILURE() << box.caption << ": " << box.text;
  EXPECT_NE(ReadFile(exported).size(), 0u);
}

class WineProgramTest : public PeResourcesTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WineProgramTest, StillStartsWithNewIcons) {
  const std::string original = kWine64 + GetParam();
  const std::string copy = Copy(original, std::string("new_") + GetParam());
  ASSERT_TRUE(TransferIcons(kWine64 + "taskmgr.exe", copy));
  ASSERT_TRUE(TransferVersionInfo(kWine64 + "taskmgr.exe", copy));
  ExpectChecksumAsSystem(copy);
  EXPECT_GE(IconCount(copy), 1u);
  EXPECT_EQ(VersionString(copy, "FileDescription"), VersionString(kWine64 + "taskmgr.exe", "FileDescription"));
  {
    SystemView before(original), after(copy);
    ASSERT_TRUE(after.ok());
    const std::string firstGroup = before.Names(RT_GROUP_ICON)[0];
    EXPECT_EQ(after.Names(RT_GROUP_ICON)[0], firstGroup) << "the group keeps its name";
    // Other resource types are untouched.
    for (LPCSTR type : {RT_STRING, RT_DIALOG, RT_MENU, RT_ACCELERATOR})
      for (const std::string& name : before.Names(type))
        for (WORD language : before.Languages(type, name))
          EXPECT_EQ(after.Bytes(type, name, language), before.Bytes(type, name, language)) << name;
  }
  if (std::string(GetParam()) == "regedit.exe") {
    // Its work, not just its start: an export through the rewritten program.
    const std::string a = dir_ + "a.reg", b = dir_ + "b.reg";
    EXPECT_EQ(HowItEnds(Quote(original) + " /E " + Quote(a) + " HKEY_CURRENT_USER\\Software\\Wine"), "exit 0");
    EXPECT_EQ(HowItEnds(Quote(copy) + " /E " + Quote(b) + " HKEY_CURRENT_USER\\Software\\Wine"), "exit 0");
    EXPECT_EQ(ReadFile(b), ReadFile(a));
  } else {
    EXPECT_EQ(HowItEnds(Quote(copy)), HowItEnds(Quote(original)));
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, WineProgramTest,
                         ::testing::Values("regedit.exe", "taskmgr.exe", "msiexec.exe", "notepad.exe"));

}  // namespace
