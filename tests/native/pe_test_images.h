// Minimal PE images synthesized byte by byte for the reader and writer tests. Written from
// the PE layout directly, sharing no code with pe/, so that a fault in the library cannot
// hide itself in the test's own expectations.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/common/produced_file.h"

// Some tests read Wine's own programs as real-world input. Where Wine is not installed they
// skip, naming the file, instead of failing for a reason that is not theirs.
#define SKIP_WITHOUT_WINE_FILE(path) \
  if (access(path, R_OK) != 0) GTEST_SKIP() << path << " is missing: Wine's programs are not installed"

namespace peimg {

using Bytes = std::vector<uint8_t>;

// Little-endian fields into Bytes or a std::string, growing it where the field ends past it.
template <class B>
void Put16(B& b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<typename B::value_type>(v & 0xFF);
  b[at + 1] = static_cast<typename B::value_type>((v >> 8) & 0xFF);
}
template <class B>
void Put32(B& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
inline uint32_t Get16(const Bytes& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
inline uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
inline size_t Align(size_t v, size_t a) { return (v + a - 1) / a * a; }

// A resource type or name: a number, or (when text is not empty) a text.
struct Id {
  uint16_t number = 0;
  std::string text;
  Id(int n) : number(static_cast<uint16_t>(n)) {}  // NOLINT: numbers read naturally in tests
  Id(const char* t) : text(t) {}                   // NOLINT
  bool isText() const { return !text.empty(); }
};

struct Res {
  Id type;
  Id name;
  uint16_t lang;
  Bytes data;
};

// Lays out a resource section with the types, names and languages in the order first met
// in `list` (the caller puts named entries first where the directory should).
inline Bytes ResourceSection(const std::vector<Res>& list, uint32_t baseRva) {
  struct Name { Id id; std::vector<const Res*> langs; };
  struct Type { Id id; std::vector<Name> names; };
  auto same = [](const Id& a, const Id& b) { return a.isText() == b.isText() && a.number == b.number && a.text == b.text; };
  std::vector<Type> types;
  for (const Res& r : list) {
    Type* t = nullptr;
    for (Type& x : types) if (same(x.id, r.type)) t = &x;
    if (!t) { types.push_back({r.type, {}}); t = &types.back(); }
    Name* n = nullptr;
    for (Name& x : t->names) if (same(x.id, r.name)) n = &x;
    if (!n) { t->names.push_back({r.name, {}}); n = &t->names.back(); }
    n->langs.push_back(&r);
  }
  Bytes out;
  size_t at = 16 + 8 * types.size();
  std::vector<size_t> typeAt, nameAt;
  for (Type& t : types) { typeAt.push_back(at); at += 16 + 8 * t.names.size(); }
  for (Type& t : types) for (Name& n : t.names) { nameAt.push_back(at); at += 16 + 8 * n.langs.size(); }
  std::vector<std::pair<const Id*, size_t>> strings;
  auto placeString = [&](const Id& id) { if (id.isText()) { strings.push_back({&id, at}); at += 2 + 2 * id.text.size(); } };
  for (Type& t : types) { placeString(t.id); for (Name& n : t.names) placeString(n.id); }
  const size_t dataEntriesAt = at = Align(at, 4);
  size_t leaves = 0;
  for (Type& t : types) for (Name& n : t.names) leaves += n.langs.size();
  at += 16 * leaves;
  out.resize(at);
  auto stringOf = [&](const Id& id) { for (auto& s : strings) if (s.first == &id) return s.second; return size_t{0}; };
  for (auto& s : strings) {
    Put16(out, s.second, static_cast<uint32_t>(s.first->text.size()));
    for (size_t i = 0; i < s.first->text.size(); ++i) Put16(out, s.second + 2 + 2 * i, static_cast<uint8_t>(s.first->text[i]));
  }
  auto table = [&](size_t where, size_t named, size_t numbered) { Put16(out, where + 12, named); Put16(out, where + 14, numbered); };
  auto entry = [&](size_t where, size_t i, const Id& id, uint32_t target) {
    Put32(out, where + 16 + 8 * i, id.isText() ? (0x80000000u | static_cast<uint32_t>(stringOf(id))) : id.number);
    Put32(out, where + 16 + 8 * i + 4, target);
  };
  auto countNamed = [](const auto& v) { size_t k = 0; for (auto& x : v) k += x.id.isText(); return k; };
  table(0, countNamed(types), types.size() - countNamed(types));
  size_t nameIndex = 0, leaf = 0;
  for (size_t t = 0; t < types.size(); ++t) {
    entry(0, t, types[t].id, 0x80000000u | static_cast<uint32_t>(typeAt[t]));
    table(typeAt[t], countNamed(types[t].names), types[t].names.size() - countNamed(types[t].names));
    for (size_t n = 0; n < types[t].names.size(); ++n, ++nameIndex) {
      Name& nm = types[t].names[n];
      entry(typeAt[t], n, nm.id, 0x80000000u | static_cast<uint32_t>(nameAt[nameIndex]));
      table(nameAt[nameIndex], 0, nm.langs.size());
      for (size_t l = 0; l < nm.langs.size(); ++l, ++leaf) {
        entry(nameAt[nameIndex], l, Id(nm.langs[l]->lang), static_cast<uint32_t>(dataEntriesAt + 16 * leaf));
        out.resize(Align(out.size(), 8));
        const size_t dataAt = out.size();
        out.insert(out.end(), nm.langs[l]->data.begin(), nm.langs[l]->data.end());
        Put32(out, dataEntriesAt + 16 * leaf, static_cast<uint32_t>(baseRva + dataAt));
        Put32(out, dataEntriesAt + 16 * leaf + 4, static_cast<uint32_t>(nm.langs[l]->data.size()));
      }
    }
  }
  return out;
}

// A scratch file name of this test process: ctest runs tests side by side, and the native
// and sanitizer builds may run at the same time.
inline std::string UniqueTempPath(const std::string& name) {
  return ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
}

struct ImageShape {
  bool pe64 = false;
  uint32_t fileAlign = 0x200;
  uint32_t sectAlign = 0x1000;
  bool resourcesLast = true;    // else a .reloc section follows .rsrc
  bool withResources = true;    // else no resource section and an empty directory entry
  std::vector<Res> resources;
  Bytes overlay;                // bytes after the last section (a certificate, a symbol table ...)
  bool overlayIsCertificate = false;
  bool overlayIsSymbolTable = false;
  uint32_t sizeOfHeaders = 0x400;
};

constexpr size_t kLfanew = 0x80;

// Field offsets of the synthesized image.
inline size_t OptionalAt() { return kLfanew + 24; }
inline size_t OptionalSize(bool pe64) { return pe64 ? 240 : 224; }
inline size_t DirectoryAt(bool pe64, int index) { return OptionalAt() + (pe64 ? 112 : 96) + 8 * index; }
inline size_t SectionTableAt(bool pe64) { return OptionalAt() + OptionalSize(pe64); }

// .text (one file-aligned block of 0xC3), then .rsrc, then optionally .reloc, then the overlay.
inline Bytes Image(const ImageShape& s) {
  Bytes b(s.sizeOfHeaders, 0);
  Put16(b, 0, 0x5A4D);
  Put32(b, 0x3C, kLfanew);
  Put32(b, kLfanew, 0x00004550);
  const size_t coff = kLfanew + 4, opt = OptionalAt();
  Put16(b, coff, s.pe64 ? 0x8664 : 0x14C);
  Put16(b, coff + 16, static_cast<uint32_t>(OptionalSize(s.pe64)));
  Put16(b, coff + 18, 0x0102);
  Put16(b, opt, s.pe64 ? 0x20B : 0x10B);
  Put32(b, opt + 32, s.sectAlign);
  Put32(b, opt + 36, s.fileAlign);
  Put32(b, opt + 60, s.sizeOfHeaders);
  Put16(b, opt + 68, 2);
  Put32(b, opt + (s.pe64 ? 108 : 92), 16);

  struct Sec { const char* name; Bytes data; uint32_t va = 0, raw = 0; };
  std::vector<Sec> secs;
  secs.push_back({".text", Bytes(0x10, 0xC3)});
  uint32_t va = static_cast<uint32_t>(Align(s.sizeOfHeaders, s.sectAlign));
  size_t rsrcIndex = 0;
  if (s.withResources) { rsrcIndex = secs.size(); secs.push_back({".rsrc", {}}); }
  if (!s.resourcesLast || !s.withResources) secs.push_back({".reloc", Bytes(0xC, 0x11)});
  size_t raw = Align(s.sizeOfHeaders, s.fileAlign);
  for (size_t i = 0; i < secs.size(); ++i) {
    secs[i].va = va;
    if (s.withResources && i == rsrcIndex) secs[i].data = ResourceSection(s.resources, va);
    secs[i].raw = static_cast<uint32_t>(raw);
    const size_t rawSize = Align(secs[i].data.size(), s.fileAlign);
    b.resize(raw + rawSize, 0);
    std::copy(secs[i].data.begin(), secs[i].data.end(), b.begin() + raw);
    const size_t h = SectionTableAt(s.pe64) + 40 * i;
    std::memcpy(&b[h], secs[i].name, std::strlen(secs[i].name));
    Put32(b, h + 8, static_cast<uint32_t>(secs[i].data.size()));
    Put32(b, h + 12, va);
    Put32(b, h + 16, static_cast<uint32_t>(rawSize));
    Put32(b, h + 20, static_cast<uint32_t>(raw));
    Put32(b, h + 36, 0x40000040);
    raw += rawSize;
    va += static_cast<uint32_t>(Align(secs[i].data.size(), s.sectAlign));
  }
  Put16(b, coff + 2, static_cast<uint32_t>(secs.size()));
  Put32(b, opt + 56, va);
  if (s.withResources)
    Put32(b, DirectoryAt(s.pe64, 2), secs[rsrcIndex].va), Put32(b, DirectoryAt(s.pe64, 2) + 4, static_cast<uint32_t>(secs[rsrcIndex].data.size()));
  if (!s.overlay.empty()) {
    if (s.overlayIsCertificate) Put32(b, DirectoryAt(s.pe64, 4), static_cast<uint32_t>(b.size())), Put32(b, DirectoryAt(s.pe64, 4) + 4, static_cast<uint32_t>(s.overlay.size()));
    if (s.overlayIsSymbolTable) Put32(b, coff + 8, static_cast<uint32_t>(b.size())), Put32(b, coff + 12, 1);
    b.insert(b.end(), s.overlay.begin(), s.overlay.end());
  }
  return b;
}

// The PE checksum, computed from its definition by the tests' one oracle.
inline uint32_t Checksum(const Bytes& b) {
  return produced::PlainPeChecksum(std::string(b.begin(), b.end()), OptionalAt() + 64);
}

inline Bytes ReadFile(const std::string& path) {
  const std::string bytes = produced::ReadBytes(path);
  return Bytes(bytes.begin(), bytes.end());
}
inline void WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Section headers as the file states them.
struct SectionView { std::string name; uint32_t vsize, va, rawSize, raw; };
inline std::vector<SectionView> Sections(const Bytes& b) {
  const size_t pe = Get32(b, 0x3C);
  const size_t n = Get16(b, pe + 6), optSize = Get16(b, pe + 20);
  std::vector<SectionView> out;
  for (size_t i = 0; i < n; ++i) {
    const size_t h = pe + 24 + optSize + 40 * i;
    std::string name(reinterpret_cast<const char*>(&b[h]), 8);
    name.resize(std::strlen(name.c_str()));
    out.push_back({name, Get32(b, h + 8), Get32(b, h + 12), Get32(b, h + 16), Get32(b, h + 20)});
  }
  return out;
}

}  // namespace peimg
