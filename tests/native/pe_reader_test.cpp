// The bounded PE reader and the resource directory reader, on images synthesized one
// field at a time and on real executables that nobody here wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "pe/pe_image.h"
#include "pe/pe_resources.h"
#include "pe/pe_update.h"
#include "tests/native/all_resources.h"

using namespace peimg;

namespace {

ImageShape StubLike() {
  ImageShape s;
  s.resources = {{14, "MAINICON", 1029, Bytes{0, 0, 1, 0, 1, 0, 32, 32, 16, 0, 1, 0, 4, 0, 0xE8, 2, 0, 0, 1, 0}},
                 {3, 1, 1029, Bytes(744, 0x5A)}};
  return s;
}

size_t RsrcRaw(const Bytes& b) {
  for (const SectionView& s : Sections(b))
    if (s.name == ".rsrc") return s.raw;
  return 0;
}

TEST(PeImageTest, RefusesWhatIsNotAPeImage) {
  const Bytes good = Image(StubLike());
  std::string error;
  EXPECT_FALSE(ReadsTree(Bytes{'@', 'e', 'c', 'h', 'o', ' ', 'o', 'f', 'f'}, nullptr, &error));
  EXPECT_NE(error.find("MZ"), std::string::npos);
  EXPECT_FALSE(ReadsTree(Bytes()));
  Bytes b = good;
  Put32(b, 0x3C, static_cast<uint32_t>(b.size() - 2));  // signature would straddle the end
  EXPECT_FALSE(ReadsTree(b));
  b = good;
  Put32(b, 0x3C, 0xFFFFFFF0u);  // far past the end; must not wrap
  EXPECT_FALSE(ReadsTree(b));
  b = good;
  b[kLfanew + 1] = 'X';
  EXPECT_FALSE(ReadsTree(b, nullptr, &error));
  EXPECT_NE(error.find("PE signature"), std::string::npos);
  b = good;
  Put16(b, OptionalAt(), 0x107);  // a ROM image
  EXPECT_FALSE(ReadsTree(b));
  b = good;
  Put32(b, OptionalAt() + 36, 0x300);  // file alignment not a power of two
  EXPECT_FALSE(ReadsTree(b));
}

// Each in a boundary pair: the section table and the last section's raw data ending exactly
// at the end of the file, and an optional header too short for its directories.
TEST(PeImageTest, HeaderBoundaries) {
  Bytes b = Image(StubLike());
  const size_t tableEnd = SectionTableAt(false) + 2 * 40;
  Bytes cut(b.begin(), b.begin() + tableEnd);  // table ends exactly at the end of the file
  Put32(cut, SectionTableAt(false) + 16, 0);   // no raw data for either section
  Put32(cut, SectionTableAt(false) + 40 + 16, 0);
  EXPECT_TRUE(ReadsTree(cut));
  cut.pop_back();  // one byte short
  EXPECT_FALSE(ReadsTree(cut));
  Put16(b, kLfanew + 6, 0xFFFF);  // more sections than the file can hold
  EXPECT_FALSE(ReadsTree(b));

  b = Image(StubLike());
  const size_t last = SectionTableAt(false) + 40;
  const uint32_t rawSize = Get32(b, last + 16);
  EXPECT_TRUE(ReadsTree(b));  // ends exactly at the end of the file
  Put32(b, last + 16, rawSize + 1);
  EXPECT_FALSE(ReadsTree(b));
  Put32(b, last + 16, 0xFFFFFFFFu);  // pointer + size wraps in 32 bits
  EXPECT_FALSE(ReadsTree(b));

  b = Image(StubLike());
  Put16(b, kLfanew + 4 + 16, 96);  // PE32 count field at 92 fits; its 16 directories do not
  EXPECT_FALSE(ReadsTree(b));
  Put16(b, kLfanew + 4 + 16, 70);
  EXPECT_FALSE(ReadsTree(b));
}

// osslsigncode computes the checksum of a file on its own; Wine's programs carry stale
// ones (their headers were changed after linking), so they are compared with the tool.
// Only even lengths: for an odd one the tool adds the length rounded down, where the
// system's routine adds the true length.
uint32_t ChecksumByOsslsigncode(const std::string& path) {
  std::FILE* pipe = popen(("osslsigncode verify -in '" + path + "' 2>&1").c_str(), "r");
  if (!pipe) return 0;
  char line[256];
  uint32_t sum = 0;
  while (std::fgets(line, sizeof line, pipe))
    if (std::sscanf(line, "Calculated PE checksum: %x", &sum) == 1) break;
  while (std::fgets(line, sizeof line, pipe)) {
  }
  pclose(pipe);
  return sum;
}

TEST(PeChecksumTest, AgreesWithOsslsigncodeOnRealExecutables) {
  if (std::system("osslsigncode --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "osslsigncode is not installed";
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/regedit.exe",
                           "/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe",
                           "/usr/lib/i386-linux-gnu/wine/i386-windows/msiexec.exe"}) {
    SKIP_WITHOUT_WINE_FILE(path);
    pe::FileSource source;
    std::string error;
    ASSERT_TRUE(source.Open(path, &error)) << error;
    pe::PeImage image;
    ASSERT_TRUE(pe::ParsePeImage(source, &image, &error)) << error;
    uint32_t sum = 0;
    ASSERT_TRUE(pe::ComputePeChecksum(source, image.CheckSumOffset(), &sum));
    EXPECT_EQ(sum, ChecksumByOsslsigncode(path)) << path;
  }
}

TEST(PeChecksumTest, AgreesWithTheDefinitionOnOddLengths) {
  Bytes b = Image(StubLike());
  for (int extra : {0, 1, 2, 3}) {
    Bytes c = b;
    c.insert(c.end(), extra, 0xFE);
    Put32(c, OptionalAt() + 64, 0xDEADBEEF);  // whatever the field holds does not count
    pe::MemorySource source(c);
    uint32_t sum = 0;
    ASSERT_TRUE(pe::ComputePeChecksum(source, OptionalAt() + 64, &sum));
    EXPECT_EQ(sum, Checksum(c)) << extra;
  }
}

TEST(ResourceReaderTest, DirectoryOrderNamedBeforeNumberedAndLanguages) {
  ImageShape s;
  s.resources = {{14, "ZETA", 0, Bytes{1}}, {14, "ALPHA", 1033, Bytes{2}}, {14, 7, 1031, Bytes{3}},
                 {14, 7, 1033, Bytes{4}}, {14, 2, 0, Bytes{5}}, {16, 1, 1033, Bytes(60, 6)}};
  pe::ResourceTree tree;
  std::string error;
  ASSERT_TRUE(ReadsTree(Image(s), &tree, &error)) << error;
  const pe::ResourceType* groups = tree.FindType(pe::ResourceName::Number(14));
  ASSERT_NE(groups, nullptr);
  ASSERT_EQ(groups->names.size(), 4u);
  EXPECT_EQ(groups->names[0].name.Narrow(), "ZETA");  // as stored, not re-sorted
  EXPECT_EQ(groups->names[1].name.Narrow(), "ALPHA");
  EXPECT_FALSE(groups->names[2].name.isText);
  EXPECT_EQ(groups->names[2].name.number, 7);
  EXPECT_EQ(groups->names[3].name.number, 2);
  ASSERT_EQ(groups->names[2].languages.size(), 2u);
  EXPECT_EQ(groups->names[2].languages[0].language, 1031);
  EXPECT_EQ(groups->names[2].languages[1].language, 1033);
  EXPECT_EQ(tree.FindLeaf(pe::ResourceName::Number(16), pe::ResourceName::Number(1), 1033)->size, 60u);
  EXPECT_EQ(tree.FindLeaf(pe::ResourceName::Number(14), pe::ResourceName::Text("alpha"), 1033)->size, 1u)
      << "text names match without regard to letter case";
}

TEST(ResourceReaderTest, DataBoundaries) {
  ImageShape s;
  s.resources = {{3, 1, 0, Bytes(0x100, 7)}};
  s.fileAlign = 0x200;
  Bytes b = Image(s);
  const size_t raw = RsrcRaw(b);
  const size_t entry = Get32(b, raw + 16 + 4) & 0x7FFFFFFF;
  const size_t nameTable = Get32(b, raw + entry + 16 + 4) & 0x7FFFFFFF;
  const size_t dataEntry = raw + Get32(b, raw + nameTable + 16 + 4);
  const uint32_t rva = Get32(b, dataEntry);
  const uint32_t rsrcVa = Sections(b)[1].va, rawSize = Sections(b)[1].rawSize;
  pe::ResourceTree tree;
  Put32(b, dataEntry + 4, rsrcVa + rawSize - rva);  // ends exactly at the section's end
  EXPECT_TRUE(ReadsTree(b, &tree));
  Put32(b, dataEntry + 4, rsrcVa + rawSize - rva + 1);  // one byte over
  std::string error;
  EXPECT_FALSE(ReadsTree(b, &tree, &error));
  EXPECT_NE(error.find("outside"), std::string::npos);
  Put32(b, dataEntry + 4, 0xFFFFFFFFu);
  EXPECT_FALSE(ReadsTree(b, &tree));
  Put32(b, dataEntry + 4, 4);
  Put32(b, dataEntry, 0x7FFFFFF0u);  // an RVA in no section
  EXPECT_FALSE(ReadsTree(b, &tree));
}

TEST(ResourceReaderTest, NameBoundaries) {
  ImageShape s;
  s.resources = {{14, "AB", 0, Bytes{1}}};
  Bytes b = Image(s);
  const size_t raw = RsrcRaw(b), rawSize = Sections(b)[1].rawSize;
  const size_t typeTable = Get32(b, raw + 16 + 4) & 0x7FFFFFFF;
  const size_t nameField = raw + typeTable + 16;
  pe::ResourceTree tree;
  // Move the name to the very end of the section: length word + 2 characters.
  Put32(b, nameField, 0x80000000u | static_cast<uint32_t>(rawSize - 6));
  Put16(b, raw + rawSize - 6, 2);
  EXPECT_TRUE(ReadsTree(b, &tree));
  Put16(b, raw + rawSize - 6, 3);  // one character (two bytes) over
  EXPECT_FALSE(ReadsTree(b, &tree));
  Put32(b, nameField, 0x80000000u | static_cast<uint32_t>(rawSize - 1));  // length word straddles the end
  EXPECT_FALSE(ReadsTree(b, &tree));
}

TEST(ResourceReaderTest, HostileDirectories) {
  const ImageShape s = StubLike();
  const Bytes good = Image(s);
  const size_t raw = RsrcRaw(good);
  pe::ResourceTree tree;
  Bytes b = good;
  Put32(b, raw + 16 + 4, 0x80000000u);  // the type's subdirectory is the root itself: a loop
  EXPECT_FALSE(ReadsTree(b, &tree));
  b = good;
  Put16(b, raw + 14, 0xFFFF);  // more entries than the section holds
  EXPECT_FALSE(ReadsTree(b, &tree));
  b = good;
  Put32(b, raw + 16 + 4, 0x10);  // a data entry where a directory level must be
  EXPECT_FALSE(ReadsTree(b, &tree));
  b = good;
  Put32(b, DirectoryAt(false, 2), 0x00F00000);  // the directory in no section
  EXPECT_FALSE(ReadsTree(b, &tree));
}

TEST(ResourceReaderTest, ManyEntriesSharingOneSubtableAreBounded) {
  // Each level's 100 entries all point at the same table of the next level: a million
  // leaves from a few kilobytes. The walk must give up instead of visiting them all.
  ImageShape s;
  s.resources = {{3, 1, 0, Bytes(0x1000, 0)}};
  Bytes b = Image(s);
  const size_t raw = RsrcRaw(b);
  const uint32_t rsrcVa = Sections(b)[1].va, k = 100;
  auto table = [&](size_t at, uint32_t count, uint32_t target) {
    Put16(b, raw + at + 12, 0);
    Put16(b, raw + at + 14, count);
    for (uint32_t i = 0; i < count; ++i) Put32(b, raw + at + 16 + 8 * i, i + 1), Put32(b, raw + at + 20 + 8 * i, target);
  };
  table(0, k, 0x80000100u);      // types
  table(0x100, k, 0x80000500u);  // names
  table(0x500, k, 0xD00);        // languages, all with the same data entry
  Put32(b, raw + 0xD00, rsrcVa + 0xE00);
  Put32(b, raw + 0xD04, 4);
  pe::ResourceTree tree;
  std::string error;
  EXPECT_FALSE(ReadsTree(b, &tree, &error));
  EXPECT_NE(error.find("too many"), std::string::npos) << error;
}

TEST(DataModuleTest, EnumeratesAndFindsLikeTheSystem) {
  ImageShape s;
  s.resources = {{14, "MAINICON", 1029, Bytes{9, 9}}, {14, "MAINICON", 1033, Bytes{8}}, {3, 1, 1029, Bytes{7}}};
  const std::string path = UniqueTempPath("pe_reader_module.exe");
  WriteFile(path, Image(s));
  pe::DataModule module;
  std::string error;
  ASSERT_TRUE(module.Open(path, &error)) << error;
  std::vector<pe::ResourceName> names;
  ASSERT_TRUE(module.EnumNames(pe::ResourceName::Number(16), &names));
  EXPECT_TRUE(names.empty()) << "a type the module lacks is an empty list, not a failure";
  ASSERT_TRUE(module.EnumNames(pe::ResourceName::Number(14), &names));
  ASSERT_EQ(names.size(), 1u);
  std::vector<uint16_t> languages;
  ASSERT_TRUE(module.EnumLanguages(pe::ResourceName::Number(14), names[0], &languages));
  EXPECT_EQ(languages, (std::vector<uint16_t>{1029, 1033}));
  EXPECT_FALSE(module.EnumLanguages(pe::ResourceName::Number(14), pe::ResourceName::Text("OTHER"), &languages));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(module.Load(module.FindEx(pe::ResourceName::Number(14), names[0], 1033), &bytes));
  EXPECT_EQ(bytes, Bytes{8});
  EXPECT_EQ(module.FindEx(pe::ResourceName::Number(14), names[0], 0), nullptr);
  ASSERT_TRUE(module.Load(module.Find(pe::ResourceName::Number(14), names[0]), &bytes));
  EXPECT_EQ(bytes, (Bytes{9, 9})) << "no neutral language: the first in the directory";
  module.Release();
  EXPECT_FALSE(module.EnumNames(pe::ResourceName::Number(14), &names));

  const std::string batch = UniqueTempPath("pe_reader_setup.bat");
  WriteFile(batch, Bytes{'@', 'e', 'c', 'h', 'o', '\r', '\n'});
  EXPECT_FALSE(module.Open(batch, &error));
  EXPECT_NE(error.find(batch), std::string::npos) << "the error names the file";
  EXPECT_FALSE(module.Open(path + ".missing", &error));
  std::remove(path.c_str());
  std::remove(batch.c_str());
}

}  // namespace
