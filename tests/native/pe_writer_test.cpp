// The resource writer: pending updates, discard, and the rebuilt image checked field by
// field against the layout, on synthesized images and on copies of real executables.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <tuple>

#include "pe/pe_update.h"
#include "tests/native/all_resources.h"
#include "tests/native/pe_test_images.h"

using namespace peimg;

namespace {

using Key = ResourceKey;

// The layout rules every rebuilt image must keep, checked from the raw headers.
void ExpectSoundLayout(const Bytes& b, uint32_t fileAlign, uint32_t sectAlign) {
  const std::vector<SectionView> secs = Sections(b);
  ASSERT_FALSE(secs.empty());
  size_t rawEnd = 0;
  uint32_t expectedVa = 0;
  for (size_t i = 0; i < secs.size(); ++i) {
    const SectionView& s = secs[i];
    EXPECT_EQ(s.va % sectAlign, 0u) << s.name;
    EXPECT_EQ(s.raw % fileAlign, 0u) << s.name;
    EXPECT_EQ(s.rawSize % fileAlign, 0u) << s.name;
    if (i > 0) {
      EXPECT_EQ(s.va, expectedVa) << "sections follow each other in memory: " << s.name;
    }
    expectedVa = static_cast<uint32_t>(s.va + Align(s.vsize ? s.vsize : s.rawSize, sectAlign));
    if (s.rawSize) rawEnd = std::max<size_t>(rawEnd, s.raw + s.rawSize);
  }
  const size_t opt = Get32(b, 0x3C) + 24;
  EXPECT_EQ(rawEnd, b.size()) << "nothing after the last section's raw data";
  EXPECT_EQ(Get32(b, opt + 56), expectedVa) << "SizeOfImage";
  EXPECT_EQ(Get32(b, opt + 64), Checksum(b));
}

Bytes Rebuilt(const Bytes& original, const std::function<void(pe::ResourceTree&)>& change) {
  pe::ResourceTree tree;
  std::string error;
  EXPECT_TRUE(ReadsTree(original, &tree, &error)) << error;
  change(tree);
  Bytes out;
  EXPECT_TRUE(pe::RebuildImage(original, tree, &out, &error)) << error;
  return out;
}

const pe::ResourceName kType3 = pe::ResourceName::Number(3);

ImageShape TwoResources() {
  ImageShape s;
  s.resources = {{14, "MAINICON", 1029, Bytes(20, 1)}, {3, 1, 1029, Bytes(744, 2)}};
  return s;
}

struct Layout {
  bool pe64;
  uint32_t fileAlign, sectAlign;
  bool resourcesLast;
};

class WriterLayoutTest : public ::testing::TestWithParam<Layout> {};

TEST_P(WriterLayoutTest, AddsKeepsAndLaysOut) {
  const Layout l = GetParam();
  ImageShape s = TwoResources();
  s.pe64 = l.pe64;
  s.fileAlign = l.fileAlign;
  s.sectAlign = l.sectAlign;
  s.resourcesLast = l.resourcesLast;
  const Bytes original = Image(s);
  const Bytes added(5000, 0x77);
  const Bytes b = Rebuilt(original, [&](pe::ResourceTree& t) { t.Set(kType3, pe::ResourceName::Number(2), 0, added); });
  ExpectSoundLayout(b, l.fileAlign, l.sectAlign);
  auto res = AllResources(b);
  EXPECT_EQ(res.size(), 3u);
  EXPECT_EQ(res[Key("#14", "MAINICON", 1029)], Bytes(20, 1));
  EXPECT_EQ(res[Key("#3", "#1", 1029)], Bytes(744, 2));
  EXPECT_EQ(res[Key("#3", "#2", 0)], added);

  const auto before = Sections(original), after = Sections(b);
  EXPECT_EQ(after.size(), before.size() + (l.resourcesLast ? 0 : 1));
  EXPECT_EQ(after.back().name, ".rsrc");
  // What came before the resource section is carried over byte for byte.
  const size_t keep = l.resourcesLast ? before[1].raw : before.back().raw + before.back().rawSize;
  EXPECT_TRUE(std::equal(original.begin() + 0x400, original.begin() + keep, b.begin() + 0x400));
  const size_t dir = DirectoryAt(l.pe64, 2);
  EXPECT_EQ(Get32(b, dir), after.back().va);
  EXPECT_EQ(Get32(b, dir + 4), after.back().vsize);
}

INSTANTIATE_TEST_SUITE_P(Alignments, WriterLayoutTest,
                         ::testing::Values(Layout{false, 0x200, 0x1000, true}, Layout{false, 0x200, 0x1000, false},
                                           Layout{true, 0x200, 0x1000, true}, Layout{true, 0x1000, 0x1000, false},
                                           Layout{false, 0x200, 0x200, true}, Layout{false, 0x200, 0x200, false},
                                           Layout{false, 0x400, 0x2000, false}, Layout{true, 0x1000, 0x10000, true}));

TEST(ResourceWriterTest, NamedAndNumberedEntriesOfOneType) {
  ImageShape s;
  s.resources = {{14, "MAINICON", 0, Bytes{1}}, {14, 5, 0, Bytes{2}}};
  const Bytes b = Rebuilt(Image(s), [](pe::ResourceTree& t) {
    t.Set(pe::ResourceName::Number(14), pe::ResourceName::Number(3), 0, Bytes{3});
    t.Set(pe::ResourceName::Number(14), pe::ResourceName::Text("BETA"), 0, Bytes{4});
  });
  pe::ResourceTree tree;
  ASSERT_TRUE(ReadsTree(b, &tree));
  const auto& names = tree.FindType(pe::ResourceName::Number(14))->names;
  ASSERT_EQ(names.size(), 4u);
  // The loader searches each level by halves: texts ascending, then numbers ascending.
  EXPECT_EQ(names[0].name.Narrow(), "BETA");
  EXPECT_EQ(names[1].name.Narrow(), "MAINICON");
  EXPECT_EQ(names[2].name.number, 3);
  EXPECT_EQ(names[3].name.number, 5);
  // And the counts in the table say which are which.
  const size_t raw = Sections(b).back().raw;
  const size_t typeTable = Get32(b, raw + 16 + 4) & 0x7FFFFFFF;
  EXPECT_EQ(Get16(b, raw + typeTable + 12), 2u);
  EXPECT_EQ(Get16(b, raw + typeTable + 14), 2u);
}

TEST(ResourceWriterTest, OverlayCertificateAndSymbolTableAreDropped) {
  for (int kind = 0; kind < 3; ++kind) {
    ImageShape s = TwoResources();
    s.resourcesLast = kind != 1;
    s.overlay = Bytes(0x321, 0xAB);
    s.overlayIsCertificate = kind == 1;
    s.overlayIsSymbolTable = kind == 2;
    const Bytes original = Image(s);
    const Bytes b = Rebuilt(original, [](pe::ResourceTree&) {});
    ExpectSoundLayout(b, s.fileAlign, s.sectAlign);
    EXPECT_EQ(Get32(b, DirectoryAt(false, 4)), 0u);
    EXPECT_EQ(Get32(b, DirectoryAt(false, 4) + 4), 0u);
    EXPECT_EQ(Get32(b, kLfanew + 4 + 8), 0u);
    EXPECT_EQ(Get32(b, kLfanew + 4 + 12), 0u);
    EXPECT_EQ(AllResources(b), AllResources(original));
  }
}

TEST(ResourceWriterTest, ImageWithoutResourcesGetsASectionAndAnEmptyDirectoryStays) {
  ImageShape s;
  s.withResources = false;
  const Bytes b = Rebuilt(Image(s), [](pe::ResourceTree& t) { t.Set(pe::ResourceName::Number(16), pe::ResourceName::Number(1), 1033, Bytes(92, 5)); });
  ExpectSoundLayout(b, s.fileAlign, s.sectAlign);
  EXPECT_EQ(AllResources(b).at(Key("#16", "#1", 1033)), Bytes(92, 5));
  // And removing everything leaves an empty directory.
  const Bytes none = Rebuilt(Image(TwoResources()), [](pe::ResourceTree& t) {
    t.Remove(pe::ResourceName::Number(14), pe::ResourceName::Text("MAINICON"), 1029);
    t.Remove(kType3, pe::ResourceName::Number(1), 1029);
  });
  ExpectSoundLayout(none, 0x200, 0x1000);
  EXPECT_TRUE(AllResources(none).empty());
}

TEST(ResourceWriterTest, NoRoomForAnotherSectionHeaderIsRefused) {
  ImageShape s = TwoResources();
  s.resourcesLast = false;
  Bytes original = Image(s);
  const size_t next = SectionTableAt(false) + 3 * 40;
  Bytes b;
  std::string error;
  pe::ResourceTree tree;
  original[next + 39] = 1;  // something lives right after the section table
  EXPECT_FALSE(pe::RebuildImage(original, tree, &b, &error));
  original[next + 39] = 0;
  EXPECT_TRUE(pe::RebuildImage(original, tree, &b, &error)) << error;
  Put32(original, OptionalAt() + 60, static_cast<uint32_t>(next + 39));  // headers end one byte short
  EXPECT_FALSE(pe::RebuildImage(original, tree, &b, &error));
  Put32(original, OptionalAt() + 60, static_cast<uint32_t>(next + 40));  // exactly enough
  EXPECT_TRUE(pe::RebuildImage(original, tree, &b, &error)) << error;
}

TEST(ResourceWriterTest, FileAlignmentAboveTheLoadersLimitIsRefused) {
  for (uint32_t align : {0x10000u, 0x20000u}) {
    ImageShape s = TwoResources();
    s.fileAlign = s.sectAlign = align;
    s.sizeOfHeaders = align;
    Bytes b;
    std::string error;
    pe::ResourceTree tree;
    EXPECT_EQ(pe::RebuildImage(Image(s), tree, &b, &error), align <= 0x10000u) << align << " " << error;
  }
}

TEST(ResourceWriterTest, LastSectionWhoseRawDataOverlapsTheHeadersIsNotCut) {
  // Found by the round-trip fuzzer: cutting the file at such a section's raw data would
  // cut the headers away too.
  ImageShape s = TwoResources();
  Bytes original = Image(s);
  const size_t rsrcHeader = SectionTableAt(false) + 40;
  Put32(original, SectionTableAt(false) + 16, 0);  // .text without raw data: .rsrc is the only one
  Bytes b;
  std::string error;
  pe::ResourceTree tree;
  // Raw data from offset 0 is the headers themselves: no new section fits, so it is refused.
  Put32(original, rsrcHeader + 20, 0);
  Put32(original, rsrcHeader + 16, 0x200);
  EXPECT_FALSE(pe::RebuildImage(original, tree, &b, &error));
  EXPECT_FALSE(error.empty());
  // Raw data right after the headers is an ordinary last section.
  Put32(original, rsrcHeader + 20, 0x200);
  ASSERT_TRUE(pe::RebuildImage(original, tree, &b, &error)) << error;
  EXPECT_EQ(Get16(b, 0), 0x5A4Du);
  ExpectSoundLayout(b, s.fileAlign, s.sectAlign);
}

class UpdateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = UniqueTempPath("pe_writer_target.exe");
    original_ = Image(TwoResources());
    WriteFile(path_, original_);
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string path_;
  Bytes original_;
};

TEST_F(UpdateFileTest, DiscardLeavesTheFileByteForByteAndBeginRefusesWhatIsNotAnImage) {
  pe::ResourceUpdate update;
  ASSERT_TRUE(update.Begin(path_, nullptr));
  ASSERT_TRUE(update.Update(kType3, pe::ResourceName::Number(1), 1029, nullptr, 0));
  const uint8_t data[3] = {1, 2, 3};
  ASSERT_TRUE(update.Update(kType3, pe::ResourceName::Number(9), 0, data, 3));
  ASSERT_TRUE(update.End(true, nullptr));
  EXPECT_EQ(ReadFile(path_), original_);
  EXPECT_FALSE(update.End(false, nullptr)) << "an ended update cannot be committed";
  EXPECT_EQ(ReadFile(path_), original_);
  // What is not an image is refused from the start.
  WriteFile(path_, Bytes{'M', 'Z', 0, 0});
  pe::ResourceUpdate refused;
  std::string error;
  EXPECT_FALSE(refused.Begin(path_, &error));
  EXPECT_NE(error.find(path_), std::string::npos);
  EXPECT_FALSE(refused.Update(kType3, pe::ResourceName::Number(1), 0, nullptr, 0));
  EXPECT_FALSE(refused.Begin(path_ + ".missing", &error));
}

TEST_F(UpdateFileTest, ChangesApplyInCallOrder) {
  const uint8_t a[2] = {0xA, 0xA}, b[1] = {0xB};
  pe::ResourceUpdate update;
  ASSERT_TRUE(update.Begin(path_, nullptr));
  update.Update(kType3, pe::ResourceName::Number(7), 0, a, 2);     // add, then remove: gone
  update.Update(kType3, pe::ResourceName::Number(7), 0, nullptr, 0);
  update.Update(kType3, pe::ResourceName::Number(1), 1029, nullptr, 0);  // remove, then add: there
  update.Update(kType3, pe::ResourceName::Number(1), 1029, b, 1);
  update.Update(kType3, pe::ResourceName::Number(8), 0, a, 2);     // add, then replace
  update.Update(kType3, pe::ResourceName::Number(8), 0, b, 1);
  EXPECT_FALSE(update.Update(kType3, pe::ResourceName::Number(8), 0, nullptr, 4)) << "no data but a size";
  ASSERT_TRUE(update.End(false, nullptr));
  auto res = AllResources(ReadFile(path_));
  EXPECT_EQ(res.count(Key("#3", "#7", 0)), 0u);
  EXPECT_EQ(res.at(Key("#3", "#1", 1029)), Bytes{0xB});
  EXPECT_EQ(res.at(Key("#3", "#8", 0)), Bytes{0xB});
  EXPECT_EQ(res.at(Key("#14", "MAINICON", 1029)), Bytes(20, 1));
  ExpectSoundLayout(ReadFile(path_), 0x200, 0x1000);
}

// Wine's own programs: made by another linker, resource section not last, debug sections
// and a symbol table after it.
class RealExecutableTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RealExecutableTest, UnchangedTreeRoundTripsEveryResource) {
  SKIP_WITHOUT_WINE_FILE(GetParam());
  Bytes original = ReadFile(GetParam());
  ASSERT_FALSE(original.empty()) << GetParam();
  const Bytes b = Rebuilt(original, [](pe::ResourceTree&) {});
  const size_t opt = Get32(b, 0x3C) + 24;
  ExpectSoundLayout(b, Get32(b, opt + 36), Get32(b, opt + 32));
  EXPECT_EQ(AllResources(b), AllResources(original));
  const auto before = Sections(original), after = Sections(b);
  ASSERT_EQ(after.size(), before.size() + 1);
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].va, before[i].va);
    EXPECT_EQ(after[i].raw, before[i].raw);
    EXPECT_EQ(after[i].rawSize, before[i].rawSize);
    if (before[i].name[0] != '/') EXPECT_EQ(after[i].name, before[i].name);
    else EXPECT_EQ(after[i].name[0], '.') << "a long name is spelled out, cut to 8: " << after[i].name;
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, RealExecutableTest,
                         ::testing::Values("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/regedit.exe",
                                           "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe",
                                           "/usr/lib/i386-linux-gnu/wine/i386-windows/taskmgr.exe",
                                           "/usr/lib/i386-linux-gnu/wine/i386-windows/msiexec.exe"));

}  // namespace
