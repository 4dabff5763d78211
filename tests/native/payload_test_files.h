// Produced files built byte by byte for the payload reader's tests: a minimal PE image (only
// what locating the payload reads) followed by a payload written from the container layout.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <string>
#include <vector>

#include "container/payload_reader.h"
#include "tests/common/produced_file.h"

namespace payload_test {

inline std::string ReadAll(const std::string& path) { return produced::ReadBytes(path); }

// Writes `data` to `path`, making the folders above it.
inline void WriteAll(const std::string& path, const std::string& data) {
  std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
  std::ofstream(path, std::ios::binary) << data;
}

inline void PutLe16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
inline void PutLe32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void AppendLe32(std::string& s, uint32_t v) {
  s.append(4, '\0');
  PutLe32(s, s.size() - 4, v);
}

struct Section {
  uint32_t rawSize;
  uint32_t rawPointer;
};

// "MZ" + e_lfanew 0x80, "PE\0\0", file header, an optional header of `optionalSize` bytes
// and the sections; padded to `imageSize` bytes.
inline std::string MinimalPe(const std::vector<Section>& sections, uint32_t imageSize, uint16_t optionalSize = 0xE0) {
  const size_t peAt = 0x80;
  std::string image(peAt + 24 + optionalSize + 40 * sections.size(), '\0');
  image[0] = 'M';
  image[1] = 'Z';
  PutLe16(image, 0x3C, peAt);
  image.replace(peAt, 4, std::string("PE\0\0", 4));
  PutLe16(image, peAt + 4, 0x14C);
  PutLe16(image, peAt + 6, static_cast<uint16_t>(sections.size()));
  PutLe16(image, peAt + 20, optionalSize);
  size_t at = peAt + 24 + optionalSize;
  for (const Section& s : sections) {
    std::memcpy(&image[at], ".sect", 5);
    PutLe32(image, at + 16, s.rawSize);
    PutLe32(image, at + 20, s.rawPointer);
    at += 40;
  }
  if (image.size() < imageSize) image.resize(imageSize, '\0');
  return image;
}

// A stub image whose payload starts at 0x400.
inline std::string TinyStub() { return MinimalPe({{0x200, 0x200}, {0, 0x300}}, 0x400); }

struct TestEntry {
  std::string name;
  std::string data;
  uint8_t launch = 0;
  int32_t time = 0x5A213C61;
  uint32_t attr = 0x20;
};

inline std::string IdRecord(const std::string& chars = "00A1B2C3D4") {
  return std::string(1, static_cast<char>(chars.size())) + chars;
}

inline std::string EntryBytes(const TestEntry& e) {
  std::string s(1, static_cast<char>(e.launch));
  AppendLe32(s, static_cast<uint32_t>(e.name.size()));
  AppendLe32(s, static_cast<uint32_t>(e.data.size()));
  AppendLe32(s, static_cast<uint32_t>(e.time));
  AppendLe32(s, e.attr);
  s += e.name + e.data;
  uint32_t sum = 0;
  for (unsigned char c : e.name + e.data) sum += c;
  AppendLe32(s, sum);
  return s;
}

inline std::string EndRecord() { return std::string(17, '\0'); }

inline std::string Produced(const std::vector<TestEntry>& entries, const std::string& stub = TinyStub()) {
  std::string file = stub + IdRecord();
  for (const TestEntry& e : entries) file += EntryBytes(e);
  return file + EndRecord();
}

// A PayloadSource over bytes in memory.
class MemorySource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {
    source_.context = this;
    source_.readAt = &MemorySource::ReadAt;
    source_.size = static_cast<int64_t>(bytes_.size());
  }
  const PayloadSource& source() const { return source_; }
  int reads = 0;

 private:
  static bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
    MemorySource* self = static_cast<MemorySource*>(context);
    ++self->reads;
    if (pos < 0 || count < 0 || static_cast<uint64_t>(pos) + count > self->bytes_.size()) return false;
    std::memcpy(buffer, self->bytes_.data() + pos, count);
    return true;
  }
  std::string bytes_;
  PayloadSource source_{};
};

}  // namespace payload_test
