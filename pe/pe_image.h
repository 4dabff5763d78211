// A bounded reader for PE32 and PE32+ images. Every offset and size taken from the file is
// checked against the file (in 64-bit, so nothing wraps) before a byte is read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pe/pe_format.h"
#include "platform/fs.h"

namespace pe {

// Sets `*error` (when asked for) and returns false: the style of every failure in pe/.
inline bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

// Bytes that can be read at any offset; a read that would pass the end fails as a whole.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  virtual bool ReadAt(uint64_t offset, void* out, uint64_t count) const = 0;

  template <typename Record>
  bool ReadRecord(uint64_t offset, Record* out) const {
    return ReadAt(offset, out, sizeof(Record));
  }
};

// True when [offset, offset + count) lies within [0, size).
inline bool FitsWithin(uint64_t offset, uint64_t count, uint64_t size) {
  return offset <= size && count <= size - offset;
}

class MemorySource : public ByteSource {
 public:
  MemorySource(const void* data, uint64_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  explicit MemorySource(const std::vector<uint8_t>& bytes) : MemorySource(bytes.data(), bytes.size()) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* out, uint64_t count) const override;

 private:
  const uint8_t* data_;
  uint64_t size_;
};

// An open file read in place, so that a large executable is never loaded as a whole.
class FileSource : public ByteSource {
 public:
  bool Open(const std::string& path, std::string* error, FileSystem& fs = NativeFileSystem());
  // Reads a file that somebody else has open and keeps open for longer than this source.
  bool Attach(File& file);
  void Close();
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* out, uint64_t count) const override;

 private:
  std::unique_ptr<File> owned_;
  File* file_ = nullptr;
  uint64_t size_ = 0;
};

// Whole-file helpers; errors name the path and what went wrong.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   FileSystem& fs = NativeFileSystem());
// Replaces the contents of `path` with `bytes`, the file cut to their length.
bool RewriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error,
                 FileSystem& fs = NativeFileSystem());

struct Section {
  SectionHeader header;
  uint64_t headerOffset;  // file offset of this entry of the section table
};

// The headers of a PE image, checked, with the file offsets needed to change them.
struct PeImage {
  bool is64 = false;
  uint64_t coffOffset = 0;      // file offset of CoffFileHeader
  uint64_t optionalOffset = 0;  // file offset of the optional header
  uint64_t sectionTableOffset = 0;
  uint64_t fileSize = 0;
  CoffFileHeader coff{};
  OptionalHeaderCommon optional{};
  std::vector<DataDirectory> directories;
  std::vector<Section> sections;

  uint64_t CheckSumOffset() const { return optionalOffset + offsetof(OptionalHeaderCommon, CheckSum); }
  uint64_t DirectoryOffset(uint32_t index) const;
  // The end of the last section's raw data: where a payload or an overlay begins.
  uint64_t EndOfSectionData() const;
  // The file range of `count` bytes at `rva`, which must lie inside one section's raw data.
  bool RvaToOffset(uint32_t rva, uint32_t count, uint64_t* offset) const;
  // Index of the section whose virtual range holds `rva`, or -1.
  int SectionOfRva(uint32_t rva) const;
};

// Fails (with the reason) for anything that is not a PE32 or PE32+ image.
bool ParsePeImage(const ByteSource& source, PeImage* image, std::string* error);

// The names of the DLLs the import directory lists, in its order; empty when it has none.
// Fails when the directory or a name lies outside the sections' raw data, or a name has
// no end there.
bool ReadImportedDlls(const ByteSource& source, const PeImage& image, std::vector<std::string>* dlls,
                      std::string* error);

// The PE checksum of `source` as the system computes it: the 16-bit one's-complement-style
// sum of the file, the checksum field counted as zero, plus the file length.
bool ComputePeChecksum(const ByteSource& source, uint64_t checkSumOffset, uint32_t* sum);

inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return alignment ? (value + alignment - 1) / alignment * alignment : value;
}

// Little-endian fields written into an image being built.
inline void PutLe16(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  (*out)[at] = static_cast<uint8_t>(v);
  (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void PutLe32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  PutLe16(out, at, v & 0xFFFF);
  PutLe16(out, at + 2, v >> 16);
}

}  // namespace pe
