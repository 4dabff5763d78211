#include "pe/pe_image.h"

#include <cerrno>
#include <cstring>

namespace pe {

namespace {

int Seek64(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<long long>(offset), SEEK_SET);
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

bool FileLength(std::FILE* file, uint64_t* size) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
  const long long end = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file);
#endif
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool ReadSections(const ByteSource& source, PeImage* image, std::string* error) {
  const uint64_t count = image->coff.NumberOfSections;
  if (!FitsWithin(image->sectionTableOffset, count * sizeof(SectionHeader), source.Size()))
    return Fail(error, "the section table runs past the end of the file");
  image->sections.resize(count);
  for (uint64_t i = 0; i < count; ++i) {
    Section& s = image->sections[i];
    s.headerOffset = image->sectionTableOffset + i * sizeof(SectionHeader);
    if (!source.ReadRecord(s.headerOffset, &s.header)) return Fail(error, "cannot read the section table");
    if (s.header.SizeOfRawData > 0 &&
        !FitsWithin(s.header.PointerToRawData, s.header.SizeOfRawData, source.Size()))
      return Fail(error, "a section's raw data runs past the end of the file");
  }
  return true;
}

}  // namespace

bool MemorySource::ReadAt(uint64_t offset, void* out, uint64_t count) const {
  if (!FitsWithin(offset, count, size_)) return false;
  if (count) std::memcpy(out, data_ + offset, static_cast<size_t>(count));
  return true;
}

FileSource::~FileSource() { Close(); }

bool FileSource::Open(const std::string& path, std::string* error) {
  Close();
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) return Fail(error, path + ": cannot open: " + std::strerror(errno));
  if (!FileLength(file_, &size_)) {
    Close();
    return Fail(error, path + ": cannot tell its length");
  }
  return true;
}

void FileSource::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  size_ = 0;
}

bool FileSource::ReadAt(uint64_t offset, void* out, uint64_t count) const {
  if (!file_ || !FitsWithin(offset, count, size_)) return false;
  if (count == 0) return true;
  if (Seek64(file_, offset) != 0) return false;
  return std::fread(out, 1, static_cast<size_t>(count), file_) == count;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  FileSource file;
  if (!file.Open(path, error)) return false;
  if (file.Size() > 0x7FFFFFFFu) return Fail(error, path + ": too large for a resource update");
  bytes->resize(static_cast<size_t>(file.Size()));
  if (!file.ReadAt(0, bytes->data(), bytes->size())) return Fail(error, path + ": read error");
  return true;
}

uint64_t PeImage::DirectoryOffset(uint32_t index) const {
  const uint64_t first = optionalOffset + (is64 ? kPe32PlusNumberOfRvaAndSizes : kPe32NumberOfRvaAndSizes) + 4;
  return first + uint64_t{index} * sizeof(DataDirectory);
}

uint64_t PeImage::EndOfSectionData() const {
  uint64_t end = 0;
  for (const Section& s : sections) {
    if (s.header.SizeOfRawData == 0) continue;
    const uint64_t e = uint64_t{s.header.PointerToRawData} + s.header.SizeOfRawData;
    if (e > end) end = e;
  }
  return end;
}

int PeImage::SectionOfRva(uint32_t rva) const {
  for (size_t i = 0; i < sections.size(); ++i) {
    const SectionHeader& h = sections[i].header;
    const uint64_t span = h.VirtualSize ? h.VirtualSize : h.SizeOfRawData;
    if (rva >= h.VirtualAddress && rva - uint64_t{h.VirtualAddress} < span) return static_cast<int>(i);
  }
  return -1;
}

bool PeImage::RvaToOffset(uint32_t rva, uint32_t count, uint64_t* offset) const {
  const int index = SectionOfRva(rva);
  if (index < 0) return false;
  const SectionHeader& h = sections[index].header;
  const uint64_t within = uint64_t{rva} - h.VirtualAddress;
  if (!FitsWithin(within, count, h.SizeOfRawData)) return false;
  *offset = uint64_t{h.PointerToRawData} + within;
  return FitsWithin(*offset, count, fileSize);
}

bool ParsePeImage(const ByteSource& source, PeImage* image, std::string* error) {
  *image = PeImage();
  image->fileSize = source.Size();
  DosHeader dos;
  if (!source.ReadRecord(0, &dos) || dos.e_magic != kDosMagic) return Fail(error, "not an executable (no MZ header)");
  uint32_t signature = 0;
  if (!source.ReadRecord(dos.e_lfanew, &signature) || signature != kPeSignature)
    return Fail(error, "not a PE image (no PE signature)");
  image->coffOffset = uint64_t{dos.e_lfanew} + 4;
  if (!source.ReadRecord(image->coffOffset, &image->coff)) return Fail(error, "the COFF header is cut short");
  image->optionalOffset = image->coffOffset + sizeof(CoffFileHeader);
  const uint32_t optionalSize = image->coff.SizeOfOptionalHeader;
  if (optionalSize < sizeof(OptionalHeaderCommon) || !FitsWithin(image->optionalOffset, optionalSize, source.Size()) ||
      !source.ReadRecord(image->optionalOffset, &image->optional))
    return Fail(error, "the optional header is cut short");
  if (image->optional.Magic != kPe32Magic && image->optional.Magic != kPe32PlusMagic)
    return Fail(error, "neither a PE32 nor a PE32+ image");
  image->is64 = image->optional.Magic == kPe32PlusMagic;

  const uint32_t countAt = image->is64 ? kPe32PlusNumberOfRvaAndSizes : kPe32NumberOfRvaAndSizes;
  uint32_t directoryCount = 0;
  if (optionalSize < countAt + 4 || !source.ReadRecord(image->optionalOffset + countAt, &directoryCount))
    return Fail(error, "the optional header has no data directories");
  if (directoryCount > 16) directoryCount = 16;  // the loader looks at no more than 16 either
  if (uint64_t{countAt} + 4 + uint64_t{directoryCount} * sizeof(DataDirectory) > optionalSize)
    return Fail(error, "the data directories run past the optional header");
  image->directories.resize(directoryCount);
  for (uint32_t i = 0; i < directoryCount; ++i)
    if (!source.ReadRecord(image->DirectoryOffset(i), &image->directories[i]))
      return Fail(error, "cannot read the data directories");

  if (!IsPowerOfTwo(image->optional.FileAlignment) || !IsPowerOfTwo(image->optional.SectionAlignment) ||
      image->optional.FileAlignment > image->optional.SectionAlignment)
    return Fail(error, "the file or section alignment is not a power of two, or the file alignment is the larger");
  image->sectionTableOffset = image->optionalOffset + optionalSize;
  return ReadSections(source, image, error);
}

bool ComputePeChecksum(const ByteSource& source, uint64_t checkSumOffset, uint32_t* result) {
  constexpr uint64_t kChunk = 1 << 16;  // even, so words never straddle two chunks
  std::vector<uint8_t> chunk(kChunk);
  const uint64_t size = source.Size();
  uint64_t sum = 0;
  for (uint64_t at = 0; at < size; at += kChunk) {
    const uint64_t count = size - at < kChunk ? size - at : kChunk;
    if (!source.ReadAt(at, chunk.data(), count)) return false;
    // The checksum field itself counts as zero, wherever it lies.
    for (uint64_t i = 0; i < 4; ++i)
      if (checkSumOffset + i >= at && checkSumOffset + i < at + count) chunk[checkSumOffset + i - at] = 0;
    for (uint64_t i = 0; i < count; i += 2) {
      const uint32_t word = chunk[i] | (i + 1 < count ? uint32_t{chunk[i + 1]} << 8 : 0u);
      sum += word;
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  *result = static_cast<uint32_t>((sum & 0xFFFF) + size);
  return true;
}

}  // namespace pe
