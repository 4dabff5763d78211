#include "pe/pe_update.h"

#include <algorithm>
#include <cstring>

#include "pe/pe_checksum.h"

namespace pe {

namespace {

template <typename Record>
void Poke(std::vector<uint8_t>* bytes, uint64_t offset, const Record& record) {
  std::memcpy(bytes->data() + offset, &record, sizeof record);
}

uint64_t VirtualEnd(const SectionHeader& h, uint32_t sectionAlignment) {
  const uint64_t span = h.VirtualSize ? h.VirtualSize : h.SizeOfRawData;
  return AlignUp(uint64_t{h.VirtualAddress} + span, sectionAlignment);
}

uint64_t ImageVirtualEnd(const PeImage& image) {
  uint64_t end = AlignUp(image.optional.SizeOfHeaders, image.optional.SectionAlignment);
  for (const Section& s : image.sections) {
    const uint64_t e = VirtualEnd(s.header, image.optional.SectionAlignment);
    if (e > end) end = e;
  }
  return end;
}

// The resource section may be rewritten where it is only when it holds the resource
// directory alone, from its first byte, and nothing follows it in memory or in the file.
int SectionToRewriteInPlace(const PeImage& image) {
  const DataDirectory& dir = image.directories[kDirResource];
  if (dir.VirtualAddress == 0 || dir.Size == 0) return -1;
  const int r = image.SectionOfRva(dir.VirtualAddress);
  if (r < 0) return -1;
  const SectionHeader& rs = image.sections[r].header;
  if (rs.VirtualAddress != dir.VirtualAddress || rs.SizeOfRawData == 0) return -1;
  // Raw data that overlaps the headers would take them along when the section is cut.
  const uint64_t tableEnd = image.sectionTableOffset + image.sections.size() * sizeof(SectionHeader);
  if (rs.PointerToRawData < image.optional.SizeOfHeaders || rs.PointerToRawData < tableEnd) return -1;
  for (size_t i = 0; i < image.sections.size(); ++i) {
    if (static_cast<int>(i) == r) continue;
    const SectionHeader& s = image.sections[i].header;
    if (s.VirtualAddress >= rs.VirtualAddress) return -1;
    if (s.SizeOfRawData > 0 && uint64_t{s.PointerToRawData} + s.SizeOfRawData > rs.PointerToRawData) return -1;
  }
  for (size_t d = 0; d < image.directories.size(); ++d) {
    if (d == kDirResource || d == kDirSecurity || image.directories[d].Size == 0) continue;
    if (image.SectionOfRva(image.directories[d].VirtualAddress) == r) return -1;
  }
  return r;
}

// Where the new resource section goes and what of the old file stays before it.
struct Placement {
  SectionHeader header{};
  uint64_t headerOffset = 0;
  uint64_t keptBytes = 0;  // [0, keptBytes) of the original file is carried over
  bool added = false;
};

bool PlaceInPlace(const PeImage& image, int r, Placement* place) {
  place->header = image.sections[r].header;
  place->headerOffset = image.sections[r].headerOffset;
  place->keptBytes = place->header.PointerToRawData;
  return true;
}

bool PlaceAppended(const std::vector<uint8_t>& original, const PeImage& image, Placement* place, std::string* error) {
  place->headerOffset = image.sectionTableOffset + image.sections.size() * sizeof(SectionHeader);
  uint64_t firstRaw = image.optional.SizeOfHeaders;
  for (const Section& s : image.sections)
    if (s.header.SizeOfRawData && s.header.PointerToRawData < firstRaw) firstRaw = s.header.PointerToRawData;
  const uint64_t headerEnd = place->headerOffset + sizeof(SectionHeader);
  if (headerEnd > firstRaw || headerEnd > original.size() || image.sections.size() >= 0xFFFF)
    return Fail(error, "no room in the headers for another section");
  for (uint64_t i = place->headerOffset; i < headerEnd; ++i)
    if (original[i] != 0) return Fail(error, "the space after the section table is in use");

  const uint32_t fileAlignment = image.optional.FileAlignment;
  place->keptBytes = image.EndOfSectionData();
  if (place->keptBytes < image.optional.SizeOfHeaders)
    place->keptBytes = std::min<uint64_t>(image.optional.SizeOfHeaders, original.size());
  SectionHeader& h = place->header;
  std::memcpy(h.Name, ".rsrc\0\0\0", 8);
  const uint64_t base = ImageVirtualEnd(image);
  const uint64_t raw = AlignUp(place->keptBytes, fileAlignment);
  if (base > 0xFFFFFFFFu || raw > 0xFFFFFFFFu) return Fail(error, "the image is too large for another section");
  h.VirtualAddress = static_cast<uint32_t>(base);
  h.PointerToRawData = static_cast<uint32_t>(raw);
  h.Characteristics = kSectionInitializedData | kSectionMemRead;
  place->added = true;
  return true;
}

// Long section names ("/4") point into the COFF string table. When that table goes with
// the overlay, each such name becomes the first eight bytes of the name it stood for, so
// that tools can still read the section table.
void InlineLongSectionNames(const std::vector<uint8_t>& original, const PeImage& image, std::vector<uint8_t>* out) {
  const uint64_t strings = uint64_t{image.coff.PointerToSymbolTable} + uint64_t{image.coff.NumberOfSymbols} * 18;
  for (const Section& s : image.sections) {
    if (s.header.Name[0] != '/') continue;
    uint64_t offset = 0;
    size_t i = 1;
    for (; i < 8 && s.header.Name[i] >= '0' && s.header.Name[i] <= '9'; ++i) offset = offset * 10 + (s.header.Name[i] - '0');
    if (i == 1 || (i < 8 && s.header.Name[i] != 0)) continue;
    char name[8] = {};
    for (size_t k = 0; k < 8 && strings + offset + k < original.size() && original[strings + offset + k]; ++k)
      name[k] = static_cast<char>(original[strings + offset + k]);
    if (name[0]) std::memcpy(out->data() + s.headerOffset, name, 8);
  }
}

// Headers that must follow the new layout: section count and table entry, image size,
// the resource directory, and whatever pointed into the dropped overlay.
void UpdateHeaders(const std::vector<uint8_t>& original, const PeImage& image, const Placement& place,
                   uint32_t sectionSize, std::vector<uint8_t>* out) {
  Poke(out, place.headerOffset, place.header);
  CoffFileHeader coff = image.coff;
  if (place.added) ++coff.NumberOfSections;
  if (coff.PointerToSymbolTable != 0 && coff.PointerToSymbolTable >= place.keptBytes) {
    InlineLongSectionNames(original, image, out);
    coff.PointerToSymbolTable = 0;
    coff.NumberOfSymbols = 0;
  }
  Poke(out, image.coffOffset, coff);

  OptionalHeaderCommon optional = image.optional;
  // The image ends where its furthest section ends, the rewritten one at its new size.
  uint64_t end = AlignUp(optional.SizeOfHeaders, optional.SectionAlignment);
  for (const Section& s : image.sections)
    if (s.headerOffset != place.headerOffset) end = std::max(end, VirtualEnd(s.header, optional.SectionAlignment));
  end = std::max(end, VirtualEnd(place.header, optional.SectionAlignment));
  optional.SizeOfImage = static_cast<uint32_t>(end);
  optional.CheckSum = 0;
  Poke(out, image.optionalOffset, optional);

  Poke(out, image.DirectoryOffset(kDirResource), DataDirectory{place.header.VirtualAddress, sectionSize});
  if (image.directories.size() > kDirSecurity) Poke(out, image.DirectoryOffset(kDirSecurity), DataDirectory{0, 0});
}

// The last word before anything is written: the new file must read as an image whose
// resources read back and whose last section ends at its end.
bool ReadsBack(const std::vector<uint8_t>& rebuilt, std::string* error) {
  MemorySource source(rebuilt);
  PeImage image;
  ResourceTree tree;
  std::string why;
  if (!ParsePeImage(source, &image, &why) || !ReadResourceTree(source, image, &tree, &why))
    return Fail(error, "the rebuilt image does not read back: " + why);
  if (image.EndOfSectionData() != rebuilt.size()) return Fail(error, "the rebuilt image has bytes after its sections");
  return true;
}

}  // namespace

bool RebuildImage(const std::vector<uint8_t>& original, const ResourceTree& tree, std::vector<uint8_t>* rebuilt,
                  std::string* error) {
  MemorySource source(original);
  PeImage image;
  if (!ParsePeImage(source, &image, error)) return false;
  if (image.directories.size() <= kDirResource) return Fail(error, "the image has no resource directory entry");
  // The loader's own limit; larger ones would only pad the file with zeros.
  if (image.optional.FileAlignment > 0x10000) return Fail(error, "the file alignment is larger than 64 KiB");

  Placement place;
  const int r = SectionToRewriteInPlace(image);
  if (r >= 0 ? !PlaceInPlace(image, r, &place) : !PlaceAppended(original, image, &place, error)) return false;

  std::vector<uint8_t> section;
  if (!SerializeResourceTree(source, tree, place.header.VirtualAddress, &section, error)) return false;
  const uint64_t rawSize = AlignUp(section.size(), image.optional.FileAlignment);
  if (uint64_t{place.header.PointerToRawData} + rawSize > 0x7FFFFFFFu ||
      uint64_t{place.header.VirtualAddress} + section.size() > 0xFFFFFFFFu)
    return Fail(error, "the rebuilt image would be too large");
  place.header.VirtualSize = static_cast<uint32_t>(section.size());
  place.header.SizeOfRawData = static_cast<uint32_t>(rawSize);

  rebuilt->assign(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(place.keptBytes));
  rebuilt->resize(place.header.PointerToRawData, 0);
  rebuilt->insert(rebuilt->end(), section.begin(), section.end());
  rebuilt->resize(place.header.PointerToRawData + rawSize, 0);
  UpdateHeaders(original, image, place, static_cast<uint32_t>(section.size()), rebuilt);

  PeChecksum sum(image.CheckSumOffset());
  sum.Add(rebuilt->data(), rebuilt->size(), 0);
  Poke(rebuilt, image.CheckSumOffset(), sum.Value(rebuilt->size()));
  return ReadsBack(*rebuilt, error);
}

bool DataModule::Open(const std::string& path, std::string* error, FileSystem& fs) {
  Release();
  if (!file_.Open(path, error, fs)) return false;
  std::string why;
  if (!ParsePeImage(file_, &image_, &why)) {
    file_.Close();
    return Fail(error, path + ": " + why);
  }
  treeValid_ = ReadResourceTree(file_, image_, &tree_, nullptr);
  open_ = true;
  return true;
}

void DataModule::Release() {
  file_.Close();
  image_ = PeImage();
  tree_ = ResourceTree();
  open_ = treeValid_ = false;
}

bool DataModule::EnumNames(const ResourceName& type, std::vector<ResourceName>* names) const {
  if (!open_ || !treeValid_) return false;
  if (const ResourceType* t = tree_.FindType(type))
    for (const ResourceEntry& e : t->names) names->push_back(e.name);
  return true;
}

bool DataModule::EnumLanguages(const ResourceName& type, const ResourceName& name,
                               std::vector<uint16_t>* languages) const {
  if (!open_ || !treeValid_) return false;
  const ResourceEntry* e = tree_.FindEntry(type, name);
  if (!e) return false;
  for (const ResourceLeaf& leaf : e->languages) languages->push_back(leaf.language);
  return true;
}

const ResourceLeaf* DataModule::FindEx(const ResourceName& type, const ResourceName& name, uint16_t language) const {
  return open_ && treeValid_ ? tree_.FindLeaf(type, name, language) : nullptr;
}

const ResourceLeaf* DataModule::Find(const ResourceName& type, const ResourceName& name) const {
  return open_ && treeValid_ ? tree_.FindDefaultLeaf(type, name) : nullptr;
}

bool DataModule::Load(const ResourceLeaf* leaf, std::vector<uint8_t>* bytes) const {
  return open_ && leaf && LoadLeaf(file_, *leaf, bytes);
}

bool ResourceUpdate::Begin(const std::string& path, std::string* error, FileSystem& fs) {
  active_ = false;
  path_ = path;
  fs_ = &fs;
  if (!ReadWholeFile(path, &original_, error, fs)) return false;
  MemorySource source(original_);
  PeImage image;
  std::string why;
  if (!ParsePeImage(source, &image, &why) || !ReadResourceTree(source, image, &tree_, &why))
    return Fail(error, path + ": " + why);
  active_ = true;
  return true;
}

bool ResourceUpdate::Update(const ResourceName& type, const ResourceName& name, uint16_t language, const void* data,
                            uint32_t size) {
  if (!active_) return false;
  if (!data) {
    if (size != 0) return false;
    tree_.Remove(type, name, language);
    return true;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  tree_.Set(type, name, language, std::vector<uint8_t>(bytes, bytes + size));
  return true;
}

bool ResourceUpdate::End(bool discard, std::string* error) {
  if (!active_) return Fail(error, "no resource update is pending");
  active_ = false;
  std::vector<uint8_t> original = std::move(original_);
  ResourceTree tree = std::move(tree_);
  original_.clear();
  tree_ = ResourceTree();
  if (discard) return true;

  std::vector<uint8_t> rebuilt;
  std::string why;
  if (!RebuildImage(original, tree, &rebuilt, &why)) return Fail(error, path_ + ": " + why);
  if (RewriteFile(path_, rebuilt, error, *fs_)) return true;
  RewriteFile(path_, original, nullptr, *fs_);  // best effort: the file as it was, not half of each
  return false;
}

}  // namespace pe
