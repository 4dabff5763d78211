// Produced files built byte by byte for the payload reader's tests: a minimal PE image (only
// what locating the payload reads) followed by a payload written from the container layout.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "container/payload_reader.h"
#include "tests/native/pe_test_images.h"

namespace payload_test {

using peimg::Put16;
using peimg::Put32;
using produced::ReadBytes;

// Writes `data` to `path`, making the folders above it.
inline void WriteAll(const std::string& path, const std::string& data) {
  std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
  std::ofstream(path, std::ios::binary) << data;
}
inline void AppendLe32(std::string& s, uint32_t v) { Put32(s, s.size(), v); }

struct Section {
  uint32_t rawSize;
  uint32_t rawPointer;
};

// "MZ" + e_lfanew 0x80, "PE\0\0", file header, an optional header of `optionalSize` bytes
// and the sections; padded to `imageSize` bytes.
inline std::string MinimalPe(const std::vector<Section>& sections, uint32_t imageSize, uint16_t optionalSize = 0xE0) {
  const size_t peAt = 0x80;
  std::string image(std::max<size_t>(imageSize, peAt + 24 + optionalSize + 40 * sections.size()), '\0');
  image.replace(0, 2, "MZ");
  Put16(image, 0x3C, peAt);
  image.replace(peAt, 4, std::string("PE\0\0", 4));
  Put16(image, peAt + 4, 0x14C);
  Put16(image, peAt + 6, static_cast<uint16_t>(sections.size()));
  Put16(image, peAt + 20, optionalSize);
  size_t at = peAt + 24 + optionalSize;
  for (const Section& s : sections) {
    std::memcpy(&image[at], ".sect", 5);
    Put32(image, at + 16, s.rawSize);
    Put32(image, at + 20, s.rawPointer);
    at += 40;
  }
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

// An entry's header and name, `size` bytes of data announced; the caller adds what follows.
inline std::string HeaderAndName(uint8_t launch, const std::string& name, uint32_t size, int32_t time = 0x5A213C61,
                                 uint32_t attr = 0x20) {
  std::string s(1, static_cast<char>(launch));
  for (uint32_t v : {static_cast<uint32_t>(name.size()), size, static_cast<uint32_t>(time), attr}) AppendLe32(s, v);
  return s + name;
}

inline std::string EntryBytes(const TestEntry& e) {
  std::string s = HeaderAndName(e.launch, e.name, static_cast<uint32_t>(e.data.size()), e.time, e.attr) + e.data;
  AppendLe32(s, produced::SumOf(e.name + e.data));
  return s;
}

inline std::string EndRecord() { return std::string(17, '\0'); }

inline std::string Produced(const std::vector<TestEntry>& entries, const std::string& stub = TinyStub()) {
  std::string file = stub + IdRecord();
  for (const TestEntry& e : entries) file += EntryBytes(e);
  return file + EndRecord();
}

// A PayloadSource over a file of any size whose bytes are zero except where pieces are
// placed (all of it, when made from bytes): lets the walk meet sizes near 2^31 without
// writing them. It counts the reads it is asked for.
class MemorySource {
 public:
  explicit MemorySource(int64_t size) {
    source_.context = this;
    source_.readAt = &MemorySource::ReadAt;
    source_.size = size;
  }
  explicit MemorySource(std::string bytes) : MemorySource(static_cast<int64_t>(bytes.size())) { Place(0, std::move(bytes)); }
  void Place(int64_t pos, std::string bytes) { pieces_.emplace_back(pos, std::move(bytes)); }
  const PayloadSource& source() const { return source_; }
  int reads = 0;

 private:
  static bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
    MemorySource* self = static_cast<MemorySource*>(context);
    ++self->reads;
    if (pos < 0 || count < 0 || pos + count > self->source_.size) return false;
    char* out = static_cast<char*>(buffer);
    std::memset(out, 0, count);
    for (const auto& [at, bytes] : self->pieces_) {
      const int64_t from = std::max(pos, at), to = std::min<int64_t>(pos + count, at + bytes.size());
      if (from < to) std::memcpy(out + (from - pos), bytes.data() + (from - at), to - from);
    }
    return true;
  }
  PayloadSource source_{};
  std::vector<std::pair<int64_t, std::string>> pieces_;
};

}  // namespace payload_test
