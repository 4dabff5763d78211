// kesdra-petool's header compaction on images laid out as the linker writes the stubs: the
// headers move up behind the DOS header, every section's raw data moves with them, nothing
// else changes.
#include <gtest/gtest.h>

#include <functional>

#include "tests/native/pe_test_images.h"
#include "tools/petool/pe_tool.h"

using namespace peimg;

namespace {

// As the linker writes a stub: a DOS program after the DOS header, the PE headers at 0x80,
// 1,024 bytes of headers for 512 bytes' worth.
Bytes LinkedImage(const std::function<void(ImageShape&)>& change = nullptr) {
  ImageShape shape;
  if (change) change(shape);
  Bytes b = Image(shape);
  const uint8_t dosProgram[] = {0x0e, 0x1f, 0xba, 0x0e, 0x00, 0xb4, 0x09, 0xcd, 0x21, 0xb8, 0x01, 0x4c, 0xcd, 0x21};
  std::copy(std::begin(dosProgram), std::end(dosProgram), b.begin() + 64);
  return b;
}

Bytes SectionData(const Bytes& b, const SectionView& s) { return Bytes(b.begin() + s.raw, b.begin() + s.raw + s.rawSize); }

}  // namespace

TEST(CompactHeaders, HeadersMoveUpAndSectionsFollow) {
  const Bytes original = LinkedImage([](ImageShape& s) { s.resourcesLast = false; });
  Bytes compacted = original;
  std::string error;
  ASSERT_TRUE(CompactHeaders(&compacted, &error)) << error;
  ASSERT_EQ(compacted.size(), original.size() - 512);
  EXPECT_EQ(Get32(compacted, 0x3C), 64u);
  EXPECT_EQ(Get32(compacted, 64), 0x00004550u);
  // The headers as they were but for their size, the checksum and the raw data pointers.
  const size_t moved = kLfanew - 64, length = SectionTableAt(false) + 3 * 40 - kLfanew;
  Bytes expected(original.begin() + kLfanew, original.begin() + kLfanew + length);
  Put32(expected, OptionalAt() - kLfanew + 60, 512);
  Put32(expected, OptionalAt() - kLfanew + 64, Get32(compacted, OptionalAt() - moved + 64));
  for (size_t i = 0; i < 3; ++i) {
    const size_t at = SectionTableAt(false) - kLfanew + 40 * i + 20;
    Put32(expected, at, Get32(expected, at) - 512);
  }
  EXPECT_EQ(Bytes(compacted.begin() + 64, compacted.begin() + 64 + length), expected);
  const auto before = Sections(original), after = Sections(compacted);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(SectionData(compacted, after[i]), SectionData(original, before[i]));
  EXPECT_EQ(Get32(compacted, OptionalAt() - moved + 64),
            produced::PlainPeChecksum(std::string(compacted.begin(), compacted.end()), OptionalAt() - moved + 64));
  const Bytes once = compacted;
  ASSERT_TRUE(CompactHeaders(&compacted, &error)) << error;
  EXPECT_EQ(compacted, once) << "a second run changes nothing";
}

// Headers that would gain nothing stay; file offsets outside the sections are refused.
TEST(CompactHeaders, ImagesItNeedNotOrCannotCompactStayAsTheyWere) {
  const Bytes tight = LinkedImage([](ImageShape& s) { s.sizeOfHeaders = 0x200; });
  Bytes same = tight;
  std::string error;
  ASSERT_TRUE(CompactHeaders(&same, &error)) << error;
  EXPECT_EQ(same, tight);
  for (const Bytes& image : {LinkedImage([](ImageShape& s) { s.overlay = Bytes(64, 7), s.overlayIsSymbolTable = true; }),
                             LinkedImage([](ImageShape& s) { s.overlay = Bytes(64, 7), s.overlayIsCertificate = true; })}) {
    Bytes copy = image;
    EXPECT_FALSE(CompactHeaders(&copy, &error));
    EXPECT_EQ(copy, image) << "a refused image stays as it was";
  }
  Bytes notPe = LinkedImage();
  notPe[kLfanew] = 'X';
  EXPECT_FALSE(CompactHeaders(&notPe, &error));
}
