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

// A copy of `image` changed by `change`.
Bytes Changed(Bytes image, const std::function<void(Bytes&)>& change) {
  change(image);
  return image;
}

Bytes Shaped(const std::function<void(ImageShape&)>& change) {
  ImageShape shape;
  change(shape);
  return Image(shape);
}

}  // namespace

// Each rule passes one image and rejects its neighbour, saying why and removing it.
TEST(CheckBinary, EveryRuleInABoundaryPair) {
  const Bytes plain = Image(ImageShape());
  const Bytes relocationsLast = Shaped([](ImageShape& s) { s.resourcesLast = false; });
  const auto flags = [&](uint32_t f) { return Changed(plain, [&](Bytes& b) { Put16(b, OptionalAt() + 70, f); }); };
  const std::string limit = "-DLIMIT=", size = std::to_string(plain.size()), smaller = std::to_string(plain.size() - 1);
  const struct {
    Bytes image;
    std::string rules, why;  // why it is rejected; empty: it passes
  } cases[] = {
      {plain, limit + size, ""},
      {plain, limit + smaller, "over its limit of " + smaller},
      {plain, "-DSTRIPPED=ON", ""},
      {Shaped([](ImageShape& s) { s.overlay = Bytes(18, 0), s.overlayIsSymbolTable = true; }), "-DSTRIPPED=ON",
       "carries a symbol table"},
      {Changed(plain, [](Bytes& b) { RenameSection(b, 1, ".debug_i"); }), "-DSTRIPPED=ON", "carries debug data (.debug_i)"},
      {Changed(plain, [](Bytes& b) { Put32(b, DirectoryAt(false, 6), Sections(b)[0].va), Put32(b, DirectoryAt(false, 6) + 4, 28); }),
       "-DSTRIPPED=ON", "carries a debug directory"},
      {Importing("KERNEL32.dll"), "-DIMPORTS=kernel32,user32", ""},
      {Importing("msvcrt.dll"), "-DIMPORTS=kernel32,user32", "imports msvcrt.dll"},
      {plain, "-DIMPORTS=kernel32,user32", "has no import directory"},
      {Shaped([](ImageShape& s) { s.sizeOfHeaders = 0x200; }), "-DHEADERS=512", ""},
      {plain, "-DHEADERS=512", "has 1024 bytes of headers, not 512"},
      {plain, "-DLAST_SECTION=.rsrc", ""},
      {relocationsLast, "-DLAST_SECTION=.rsrc", "has .reloc as its last section, not .rsrc"},
      {relocationsLast, "-DREQUIRE_SECTIONS=.rsrc,.reloc", ""},
      {plain, "-DREQUIRE_SECTIONS=.rsrc,.reloc", "has no .reloc section"},
      {plain, "-DFORBID_SECTIONS=.data,.tls", ""},
      {Changed(plain, [](Bytes& b) { RenameSection(b, 0, ".data"); }), "-DFORBID_SECTIONS=.data,.tls", "has a .data section"},
      {flags(0x0540), "-DREQUIRE_FLAGS=0x0140", ""},
      {flags(0x0500), "-DREQUIRE_FLAGS=0x0140", "lacks DllCharacteristics 0x40"},
      {Changed(plain, [](Bytes& b) { b[kLfanew] = 'X'; }), "", "cannot be read as a PE image"},
  };
  for (const auto& c : cases) {
    const Verdict v = Check(c.image, c.rules);
    if (c.why.empty()) {
      EXPECT_TRUE(v.passed && v.kept) << c.rules << "\n" << v.output;
    } else {
      EXPECT_FALSE(v.passed) << c.rules;
      EXPECT_NE(v.output.find(c.why), std::string::npos) << c.rules << "\n" << v.output;
      EXPECT_FALSE(v.kept) << "a rejected image is removed";
    }
  }
}
