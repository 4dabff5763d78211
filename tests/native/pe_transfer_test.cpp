// TransferIcons and TransferVersionInfo on files: a stub-like target and executables made
// for each case, plus Wine's own programs. Expectations come from what the executables
// were made of, not from the reader.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "builder/transfer.h"
#include "pe/pe_update.h"
#include "tests/native/all_resources.h"
#include "tests/native/pe_test_images.h"

using namespace peimg;

namespace {

// A resource of numbered type `type`.
ResourceKey Key(int type, const std::string& name, uint16_t language) {
  return ResourceKey{"#" + std::to_string(type), name, language};
}

// A group icon directory listing these image numbers.
Bytes Group(std::vector<uint16_t> images) {
  Bytes b(6 + 14 * images.size(), 0);
  Put16(b, 2, 1);
  Put16(b, 4, static_cast<uint32_t>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    b[6 + 14 * i] = 32;
    b[6 + 14 * i + 1] = 32;
    Put16(b, 6 + 14 * i + 4, 1);
    Put16(b, 6 + 14 * i + 6, 4);
    Put32(b, 6 + 14 * i + 8, 100 + images[i]);
    Put16(b, 6 + 14 * i + 12, images[i]);
  }
  return b;
}

Bytes IconImage(uint16_t id) { return Bytes(100 + id, static_cast<uint8_t>(id)); }
Bytes Version(uint8_t fill) { return Bytes(0x5C, fill); }

const Bytes kManifest = {'<', '?', 'x', 'm', 'l', '?', '>'};

// The stub as the transfers meet it: one group "MAINICON" in 1029 listing image 1.
ImageShape StubSpec() {
  ImageShape s;
  s.resources = {{14, "MAINICON", 1029, Group({1})}, {3, 1, 1029, IconImage(1)}, {24, 1, 0, kManifest}};
  return s;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = UniqueTempPath("transfer_target.exe");
    exe_ = UniqueTempPath("transfer_source.exe");
    WriteFile(target_, peimg::Image(StubSpec()));
  }
  void TearDown() override {
    std::remove(target_.c_str());
    std::remove(exe_.c_str());
  }
  void MakeExe(const std::vector<Res>& resources, bool withResources = true) {
    ImageShape s;
    s.pe64 = true;  // the executable need not be of the stub's kind
    s.resources = resources;
    s.withResources = withResources;
    WriteFile(exe_, peimg::Image(s));
  }
  void ExpectTargetUntouched() { EXPECT_EQ(ReadFile(target_), peimg::Image(StubSpec())); }
  std::string target_, exe_;
};

TEST_F(TransferTest, FirstGroupOnlyUnderTheTargetsName) {
  MakeExe({{14, "ZAPP", 1033, Group({2, 3})}, {14, 1, 1033, Group({4})}, {3, 2, 0, IconImage(2)}, {3, 3, 0, IconImage(3)},
           {3, 4, 0, IconImage(4)}});
  ASSERT_TRUE(TransferIcons(exe_, target_));
  const std::map<ResourceKey, Bytes> expected = {{Key(14, "MAINICON", 1033), Group({2, 3})},
                                         {Key(3, "#2", 1033), IconImage(2)},
                                         {Key(3, "#3", 1033), IconImage(3)},
                                         {Key(24, "#1", 0), kManifest}};
  EXPECT_EQ(AllResources(target_), expected);
}

TEST_F(TransferTest, GroupInTwoLanguagesGivesTwoGroupsAndImagesPerLanguage) {
  MakeExe({{14, 101, 1031, Group({1, 6})}, {14, 101, 1033, Group({1, 6})}, {3, 1, 1033, IconImage(7)},
           {3, 1, 0, IconImage(1)}, {3, 6, 1049, IconImage(6)}});
  ASSERT_TRUE(TransferIcons(exe_, target_));
  const auto res = AllResources(target_);
  EXPECT_EQ(res.at(Key(14, "MAINICON", 1031)), Group({1, 6}));
  EXPECT_EQ(res.at(Key(14, "MAINICON", 1033)), Group({1, 6}));
  for (uint16_t lang : {1031, 1033}) {
    EXPECT_EQ(res.at(Key(3, "#1", lang)), IconImage(1)) << "the neutral image is the default";
    EXPECT_EQ(res.at(Key(3, "#6", lang)), IconImage(6)) << "no neutral: the first language";
  }
  EXPECT_EQ(res.count(Key(3, "#1", 1029)), 0u) << "the stub's image went with its group";
  EXPECT_EQ(res.count(Key(14, "MAINICON", 1029)), 0u);
  EXPECT_EQ(res.size(), 7u);
}

TEST_F(TransferTest, ImageNumberOneIn1029TakesTheStubsPlaceAndAnEmptyGroupMovesAlone) {
  MakeExe({{14, 5, 1029, Group({1})}, {3, 1, 1029, IconImage(9)}});
  ASSERT_TRUE(TransferIcons(exe_, target_));
  EXPECT_EQ(AllResources(target_).at(Key(3, "#1", 1029)), IconImage(9));
  // A group without entries moves alone; the one just moved goes with its image.
  MakeExe({{14, 7, 0, Group({})}});
  ASSERT_TRUE(TransferIcons(exe_, target_));
  const std::map<ResourceKey, Bytes> expected = {{Key(14, "MAINICON", 0), Group({})}, {Key(24, "#1", 0), kManifest}};
  EXPECT_EQ(AllResources(target_), expected);
}

TEST_F(TransferTest, FailuresLeaveTheTargetByteForByte) {
  MakeExe({{14, 7, 0, Group({1, 2})}, {3, 1, 0, IconImage(1)}});  // image 2 is missing
  EXPECT_FALSE(TransferIcons(exe_, target_));
  ExpectTargetUntouched();

  MakeExe({{16, 1, 1033, Version(1)}});  // no icon group at all
  EXPECT_FALSE(TransferIcons(exe_, target_));
  ExpectTargetUntouched();

  Bytes shortGroup = Group({1, 2});
  shortGroup.resize(shortGroup.size() - 1);  // the count promises more than is there
  MakeExe({{14, 7, 0, shortGroup}, {3, 1, 0, IconImage(1)}, {3, 2, 0, IconImage(2)}});
  EXPECT_FALSE(TransferIcons(exe_, target_));
  ExpectTargetUntouched();

  WriteFile(exe_, Bytes{'@', 'e', 'c', 'h', 'o', ' ', 'o', 'f', 'f', '\r', '\n'});  // a batch file
  EXPECT_FALSE(TransferIcons(exe_, target_));
  EXPECT_FALSE(TransferVersionInfo(exe_, target_));
  ExpectTargetUntouched();

  EXPECT_FALSE(TransferIcons(exe_ + ".missing", target_));
  ExpectTargetUntouched();

  MakeExe({{14, 7, 0, Group({})}});  // a good executable, a target that is not an image
  const Bytes notAnImage = {'M', 'Z', 'n', 'o', 't'};
  WriteFile(target_, notAnImage);
  EXPECT_FALSE(TransferIcons(exe_, target_));
  EXPECT_FALSE(TransferVersionInfo(exe_, target_));
  EXPECT_EQ(ReadFile(target_), notAnImage);
}

TEST_F(TransferTest, TargetWithoutGroupTakesTheExecutablesGroupName) {
  ImageShape stub = StubSpec();
  stub.resources = {{24, 1, 0, kManifest}};
  WriteFile(target_, peimg::Image(stub));
  MakeExe({{14, "APPICON", 0, Group({3})}, {3, 3, 0, IconImage(3)}});
  ASSERT_TRUE(TransferIcons(exe_, target_));
  const auto res = AllResources(target_);
  EXPECT_EQ(res.at(Key(14, "APPICON", 0)), Group({3}));
  EXPECT_EQ(res.at(Key(3, "#3", 0)), IconImage(3));
}

TEST_F(TransferTest, VersionInfoAllNamesAndLanguages) {
  MakeExe({{16, "MYVERSION", 0, Version(3)}, {16, 1, 1033, Version(1)}, {16, 1, 1031, Version(2)},
           {14, 4, 0, Group({})}});
  ASSERT_TRUE(TransferVersionInfo(exe_, target_));
  const std::map<ResourceKey, Bytes> expected = {{Key(16, "MYVERSION", 0), Version(3)},
                                         {Key(16, "#1", 1033), Version(1)},
                                         {Key(16, "#1", 1031), Version(2)},
                                         {Key(14, "MAINICON", 1029), Group({1})},
                                         {Key(3, "#1", 1029), IconImage(1)},
                                         {Key(24, "#1", 0), kManifest}};
  EXPECT_EQ(AllResources(target_), expected) << "icons untouched, version information added";
}

TEST_F(TransferTest, VersionInfoReplacesTheTargetsOwn) {
  ImageShape stub = StubSpec();
  stub.resources.push_back({16, 1, 1029, Version(9)});
  stub.resources.push_back({16, "OLD", 0, Version(8)});
  WriteFile(target_, peimg::Image(stub));
  MakeExe({{16, 1, 1033, Version(1)}});
  ASSERT_TRUE(TransferVersionInfo(exe_, target_));
  auto res = AllResources(target_);
  EXPECT_EQ(res.count(Key(16, "#1", 1029)), 0u);
  EXPECT_EQ(res.count(Key(16, "OLD", 0)), 0u);
  EXPECT_EQ(res.at(Key(16, "#1", 1033)), Version(1));

  MakeExe({}, false);  // an executable without version information takes the target's away
  ASSERT_TRUE(TransferVersionInfo(exe_, target_));
  res = AllResources(target_);
  EXPECT_EQ(res.count(Key(16, "#1", 1033)), 0u);
  EXPECT_EQ(res.at(Key(14, "MAINICON", 1029)), Group({1}));
}

TEST_F(TransferTest, BothTransfersFromRealExecutables) {
  for (const char* exe : {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/regedit.exe",
                          "/usr/lib/i386-linux-gnu/wine/i386-windows/taskmgr.exe",
                          "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe"}) {
    SKIP_WITHOUT_WINE_FILE(exe);
    WriteFile(target_, peimg::Image(StubSpec()));
    EXPECT_TRUE(TransferIcons(exe, target_)) << exe;
    EXPECT_TRUE(TransferVersionInfo(exe, target_)) << exe;
    ExpectIconsAndVersionOf(exe, target_);
    EXPECT_EQ(AllResources(target_).at(Key(24, "#1", 0)), kManifest);
    }
}

}  // namespace
