#include "pe/pe_image.h"

#include <algorithm>
#include <cstring>

#include "pe/pe_checksum.h"

namespace pe {

namespace {

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

bool FileSource::Open(const std::string& path, std::string* error, FileSystem& fs) {
  Close();
  if (const int err = fs.Open(path, OpenMode::Read, &owned_)) return Fail(error, path + ": cannot open: " + InOutErrorText(err));
  if (Attach(*owned_)) return true;
  Close();
  return Fail(error, path + ": cannot tell its length");
}

bool FileSource::Attach(File& file) {
  int64_t size = 0;
  if (file.GetSize(&size) != kErrNone) return false;
  file_ = &file;
  size_ = static_cast<uint64_t>(size);
  return true;
}

void FileSource::Close() {
  if (owned_) owned_->Close();
  owned_.reset();
  file_ = nullptr;
  size_ = 0;
}

bool FileSource::ReadAt(uint64_t offset, void* out, uint64_t count) const {
  if (!file_ || !FitsWithin(offset, count, size_)) return false;
  return count == 0 || file_->ReadAt(static_cast<int64_t>(offset), out, static_cast<int64_t>(count)) == kErrNone;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error, FileSystem& fs) {
  FileSource file;
  if (!file.Open(path, error, fs)) return false;
  if (file.Size() > 0x7FFFFFFFu) return Fail(error, path + ": too large for a resource update");
  bytes->resize(static_cast<size_t>(file.Size()));
  if (!file.ReadAt(0, bytes->data(), bytes->size())) return Fail(error, path + ": read error");
  return true;
}

bool RewriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error, FileSystem& fs) {
  std::unique_ptr<File> file;
  int err = fs.Open(path, OpenMode::Update, &file);
  if (err == kErrNone && !bytes.empty()) err = file->WriteAt(0, bytes.data(), static_cast<int64_t>(bytes.size()));
  if (err == kErrNone) err = file->Truncate(static_cast<int64_t>(bytes.size()));
  if (file) {
    const int closed = file->Close();
    if (err == kErrNone) err = closed;
  }
  if (err != kErrNone) return Fail(error, path + ": cannot write: " + InOutErrorText(err));
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

bool ReadImportedDlls(const ByteSource& source, const PeImage& image, std::vector<std::string>* dlls,
                      std::string* error) {
  dlls->clear();
  if (image.directories.size() <= kDirImport || image.directories[kDirImport].Size == 0) return true;
  const uint32_t rva = image.directories[kDirImport].VirtualAddress;
  for (uint32_t at = 0;; at += sizeof(ImportDescriptor)) {
    uint64_t offset = 0;
    ImportDescriptor entry;
    if (rva > UINT32_MAX - at || !image.RvaToOffset(rva + at, sizeof entry, &offset) ||
        !source.ReadRecord(offset, &entry))
      return Fail(error, "the import directory runs past its section");
    if (entry.Name == 0 && entry.FirstThunk == 0) return true;
    const int index = image.SectionOfRva(entry.Name);
    if (index < 0 || !image.RvaToOffset(entry.Name, 1, &offset)) return Fail(error, "an imported DLL's name lies outside the sections");
    const SectionHeader& h = image.sections[index].header;
    char name[257] = {};
    const uint64_t count = std::min<uint64_t>(uint64_t{h.SizeOfRawData} - (entry.Name - h.VirtualAddress), 256);
    if (!source.ReadAt(offset, name, count) || std::memchr(name, 0, count) == nullptr)
      return Fail(error, "an imported DLL's name has no end");
    dlls->push_back(name);
  }
}

bool ComputePeChecksum(const ByteSource& source, uint64_t checkSumOffset, uint32_t* result) {
  constexpr uint64_t kChunk = 1 << 16;
  std::vector<uint8_t> chunk(kChunk);
  const uint64_t size = source.Size();
  PeChecksum sum(checkSumOffset);
  for (uint64_t at = 0; at < size; at += kChunk) {
    const uint64_t count = size - at < kChunk ? size - at : kChunk;
    if (!source.ReadAt(at, chunk.data(), count)) return false;
    sum.Add(chunk.data(), count, at);
  }
  *result = sum.Value(size);
  return true;
}

}  // namespace pe
