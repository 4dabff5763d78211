// cmake/check_binary.cmake, the build's check on every Windows program it links: each rule in
// a boundary pair, an image it passes and one it must reject (and remove, so that a failed
// build never leaves it to be shipped).
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <functional>

#include "tests/native/pe_test_images.h"

using namespace peimg;

namespace {

struct Verdict {
  bool passed;
  std::string output;
  bool kept;  // the image is still there afterwards
};

Verdict Check(const Bytes& image, const std::string& rules) {
  const std::string path = UniqueTempPath("checked.exe");
  WriteFile(path, image);
  const std::string command = std::string(KESDRA_CMAKE) + " -DIMAGE=" + path + " -DTOOL=" KESDRA_PE_TOOL " " + rules +
                              " -P " KESDRA_CHECK_BINARY " 2>&1";
  Verdict v{false, "", false};
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe)) v.output += buffer;
  v.passed = pipe && pclose(pipe) == 0;
  v.kept = access(path.c_str(), F_OK) == 0;
  unlink(path.c_str());
  return v;
}

void ExpectPasses(const Bytes& image, const std::string& rules) {
  const Verdict v = Check(image, rules);
  EXPECT_TRUE(v.passed && v.kept) << rules << "\n" << v.output;
}

void ExpectRejected(const Bytes& image, const std::string& rules, const std::string& why) {
  const Verdict v = Check(image, rules);
  EXPECT_FALSE(v.passed) << rules;
  EXPECT_NE(v.output.find(why), std::string::npos) << rules << "\n" << v.output;
  EXPECT_FALSE(v.kept) << "a rejected image is removed";
}

Bytes Shaped(const std::function<void(ImageShape&)>& change) {
  ImageShape shape;
  change(shape);
  return Image(shape);
}

void RenameSection(Bytes& b, size_t index, const char* name) {
  char field[8] = {};
  std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
  std::memcpy(&b[SectionTableAt(false) + 40 * index], field, sizeof field);
}

// An import directory inside .text naming one DLL.
Bytes Importing(const char* dll) {
  Bytes b = Image(ImageShape());
  const SectionView text = Sections(b)[0];
  Put32(b, SectionTableAt(false) + 8, text.rawSize);  // the whole block is the section
  Put32(b, text.raw + 0x20 + 12, text.va + 0x60);     // Name
  Put32(b, text.raw + 0x20 + 16, text.va + 0x80);     // FirstThunk
  std::memcpy(&b[text.raw + 0x60], dll, std::strlen(dll) + 1);
  Put32(b, DirectoryAt(false, 1), text.va + 0x20);
  Put32(b, DirectoryAt(false, 1) + 4, 40);
  return b;
}

Bytes WithDllCharacteristics(uint32_t flags) {
  Bytes b = Image(ImageShape());
  Put16(b, OptionalAt() + 70, flags);
  return b;
}

}  // namespace

TEST(CheckBinary, SizeLimit) {
  const Bytes b = Image(ImageShape());
  ExpectPasses(b, "-DLIMIT=" + std::to_string(b.size()));
  ExpectRejected(b, "-DLIMIT=" + std::to_string(b.size() - 1), "over its limit of " + std::to_string(b.size() - 1));
}

TEST(CheckBinary, Stripped) {
  ExpectPasses(Image(ImageShape()), "-DSTRIPPED=ON");
  ExpectRejected(Shaped([](ImageShape& s) { s.overlay = Bytes(18, 0), s.overlayIsSymbolTable = true; }), "-DSTRIPPED=ON",
                 "carries a symbol table");
  Bytes debugSection = Image(ImageShape());
  RenameSection(debugSection, 1, ".debug_i");
  ExpectRejected(debugSection, "-DSTRIPPED=ON", "carries debug data (.debug_i)");
  Bytes debugDirectory = Image(ImageShape());
  Put32(debugDirectory, DirectoryAt(false, 6), Sections(debugDirectory)[0].va);
  Put32(debugDirectory, DirectoryAt(false, 6) + 4, 28);
  ExpectRejected(debugDirectory, "-DSTRIPPED=ON", "carries a debug directory");
}

TEST(CheckBinary, AllowedImports) {
  ExpectPasses(Importing("KERNEL32.dll"), "-DIMPORTS=kernel32,user32");
  ExpectRejected(Importing("msvcrt.dll"), "-DIMPORTS=kernel32,user32", "imports msvcrt.dll");
  ExpectRejected(Image(ImageShape()), "-DIMPORTS=kernel32,user32", "has no import directory");
}

TEST(CheckBinary, CompactedHeaders) {
  ExpectPasses(Shaped([](ImageShape& s) { s.sizeOfHeaders = 0x200; }), "-DHEADERS=512");
  ExpectRejected(Image(ImageShape()), "-DHEADERS=512", "has 1024 bytes of headers, not 512");
}

TEST(CheckBinary, Layout) {
  const Bytes resourcesLast = Image(ImageShape());
  const Bytes relocationsLast = Shaped([](ImageShape& s) { s.resourcesLast = false; });
  ExpectPasses(resourcesLast, "-DLAST_SECTION=.rsrc");
  ExpectRejected(relocationsLast, "-DLAST_SECTION=.rsrc", "has .reloc as its last section, not .rsrc");
  ExpectPasses(relocationsLast, "-DREQUIRE_SECTIONS=.rsrc,.reloc");
  ExpectRejected(resourcesLast, "-DREQUIRE_SECTIONS=.rsrc,.reloc", "has no .reloc section");
  Bytes withData = resourcesLast;
  RenameSection(withData, 0, ".data");
  ExpectPasses(resourcesLast, "-DFORBID_SECTIONS=.data,.tls");
  ExpectRejected(withData, "-DFORBID_SECTIONS=.data,.tls", "has a .data section");
}

TEST(CheckBinary, RequiredDllCharacteristics) {
  ExpectPasses(WithDllCharacteristics(0x0540), "-DREQUIRE_FLAGS=0x0140");
  ExpectRejected(WithDllCharacteristics(0x0500), "-DREQUIRE_FLAGS=0x0140", "lacks DllCharacteristics 0x40");
}

TEST(CheckBinary, AnythingButAPeImage) {
  Bytes b = Image(ImageShape());
  b[kLfanew] = 'X';
  ExpectRejected(b, "", "cannot be read as a PE image");
}
