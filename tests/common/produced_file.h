// The tests' own reader of produced files, written from the container layout and not from
// the writer's or the stub's code, so that it can disagree with both. Header-only plain C++:
// the native tests and the Windows tests read with the same one.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace produced {

inline uint32_t Le(const std::string& s, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
  return v;
}

// An entry's checksum: its name and data bytes added up, modulo 2^32.
inline uint32_t SumOf(const std::string& bytes) {
  uint32_t sum = 0;
  for (unsigned char c : bytes) sum += c;
  return sum;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Where the payload begins: the end of the last section's raw data, read from the PE headers;
// 0 when the file does not start with a PE image.
inline size_t PayloadStart(const std::string& file) {
  if (file.size() < 0x40 || file.compare(0, 2, "MZ") != 0) return 0;
  const size_t pe = Le(file, 0x3C, 4);
  if (pe + 24 > file.size() || file.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return 0;
  const size_t sections = Le(file, pe + 6, 2), optSize = Le(file, pe + 20, 2);
  size_t end = 0;
  for (size_t i = 0; i < sections; ++i) {
    const size_t at = pe + 24 + optSize + 40 * i;
    const size_t rawSize = Le(file, at + 16, 4), rawPtr = Le(file, at + 20, 4);
    if (rawSize > 0 && rawPtr + rawSize > end) end = rawPtr + rawSize;
  }
  return end;
}

struct Entry {
  int launch = 0;
  std::string name, data;
  int32_t time = 0;
  uint32_t attr = 0;
  bool checksumMatches = false;
};

struct Payload {
  int idCount = -1;
  std::string id;
  std::vector<Entry> entries;  // every whole entry, in file order
  bool ended = false;          // the end record was found
  size_t end = 0;              // just past the end record, or past the last whole entry

  std::map<std::string, Entry> ByName() const {
    std::map<std::string, Entry> m;
    for (const Entry& e : entries) m[e.name] = e;
    return m;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const Entry& e : entries) names.push_back(e.name);
    return names;
  }
  // Ten identifier characters, every checksum right, and the end record last in the file.
  bool Whole(size_t fileSize) const {
    for (const Entry& e : entries)
      if (!e.checksumMatches) return false;
    return idCount == 10 && ended && end == fileSize;
  }
};

// Reads the payload that begins at `start`. A file cut short (a failed build) simply ends
// the entries early, with `ended` false.
inline Payload Parse(const std::string& file, size_t start) {
  Payload p;
  if (start + 11 > file.size()) return p;
  p.idCount = static_cast<unsigned char>(file[start]);
  p.id = file.substr(start + 1, 10);
  size_t at = start + 11;
  while (at + 17 <= file.size()) {
    Entry e;
    e.launch = static_cast<unsigned char>(file[at]);
    const size_t nameLen = Le(file, at + 1, 4), size = Le(file, at + 5, 4);
    e.time = static_cast<int32_t>(Le(file, at + 9, 4));
    e.attr = Le(file, at + 13, 4);
    if (nameLen == 0 && size == 0 && e.time == 0 && e.attr == 0) {
      p.ended = true;
      at += 17;
      break;
    }
    const size_t end = at + 17 + nameLen + size + 4;
    if (end > file.size()) break;
    e.name = file.substr(at + 17, nameLen);
    e.data = file.substr(at + 17 + nameLen, size);
    e.checksumMatches = Le(file, end - 4, 4) == SumOf(e.name + e.data);
    p.entries.push_back(e);
    at = end;
  }
  p.end = at;
  return p;
}

// The PE checksum as the system computes it, written out plainly: 16-bit little-endian
// words, the checksum field counted as zero, carries folded back in after every word, then
// the file size.
inline uint32_t PlainPeChecksum(std::string file, size_t fieldAt) {
  const size_t size = file.size();
  file.replace(fieldAt, 4, 4, '\0');
  if (file.size() % 2) file.push_back('\0');
  uint32_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    sum += static_cast<unsigned char>(file[i]) | static_cast<unsigned char>(file[i + 1]) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(size);
}

}  // namespace produced
