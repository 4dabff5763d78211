#include "pe/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace pe {

namespace {

// A hostile directory can point many entries at the same subtable; this bounds the walk.
constexpr uint32_t kMaxEntriesVisited = 1u << 18;
constexpr uint32_t kLargestSection = 0x4000000u;  // 64 MiB: far above any icon or version block

char16_t UpperAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// Ordinal order of the loader's binary search: code units compared, a prefix first.
bool TextBefore(const std::u16string& a, const std::u16string& b) { return a < b; }

bool NameBefore(const ResourceName& a, const ResourceName& b) {
  if (a.isText != b.isText) return a.isText;  // texts before numbers
  return a.isText ? TextBefore(a.text, b.text) : a.number < b.number;
}

// The resource directory of one image: where it starts and how far it may reach.
class DirectoryReader {
 public:
  DirectoryReader(const ByteSource& source, const PeImage& image, uint64_t base, uint64_t limit)
      : source_(source), image_(image), base_(base), limit_(limit) {}

  bool ReadTypes(ResourceTree* tree, std::string* error) {
    std::vector<ResourceDirectoryEntry> entries;
    if (!ReadTable(0, &entries, error)) return false;
    for (const ResourceDirectoryEntry& e : entries) {
      ResourceType type;
      if (!ReadName(e, &type.type, error) || !ReadNames(e, &type, error)) return false;
      tree->types.push_back(std::move(type));
    }
    return true;
  }

 private:
  bool ReadNames(const ResourceDirectoryEntry& typeEntry, ResourceType* type, std::string* error) {
    std::vector<ResourceDirectoryEntry> entries;
    if (!ReadSubtable(typeEntry, &entries, error)) return false;
    for (const ResourceDirectoryEntry& e : entries) {
      ResourceEntry entry;
      if (!ReadName(e, &entry.name, error) || !ReadLanguages(e, &entry, error)) return false;
      type->names.push_back(std::move(entry));
    }
    return true;
  }

  bool ReadLanguages(const ResourceDirectoryEntry& nameEntry, ResourceEntry* entry, std::string* error) {
    std::vector<ResourceDirectoryEntry> entries;
    if (!ReadSubtable(nameEntry, &entries, error)) return false;
    for (const ResourceDirectoryEntry& e : entries) {
      if ((e.Name & kHighBit) || e.Name > 0xFFFF) return Fail(error, "a resource language is not a 16-bit number");
      if (e.OffsetToData & kHighBit) return Fail(error, "the resource directory is deeper than three levels");
      ResourceLeaf leaf;
      leaf.language = static_cast<uint16_t>(e.Name);
      if (!ReadLeaf(e.OffsetToData, &leaf, error)) return false;
      entry->languages.push_back(std::move(leaf));
    }
    return true;
  }

  bool ReadSubtable(const ResourceDirectoryEntry& e, std::vector<ResourceDirectoryEntry>* entries,
                    std::string* error) {
    if (!(e.OffsetToData & kHighBit)) return Fail(error, "a resource directory level is missing");
    return ReadTable(e.OffsetToData & ~kHighBit, entries, error);
  }

  bool ReadTable(uint64_t offset, std::vector<ResourceDirectoryEntry>* entries, std::string* error) {
    ResourceDirectory table;
    if (!Read(offset, &table, sizeof table)) return Fail(error, "a resource directory table lies outside its section");
    const uint32_t count = uint32_t{table.NumberOfNamedEntries} + table.NumberOfIdEntries;
    visited_ += count;
    if (visited_ > kMaxEntriesVisited) return Fail(error, "the resource directory has too many entries");
    entries->resize(count);
    if (count && !Read(offset + sizeof table, entries->data(), uint64_t{count} * sizeof(ResourceDirectoryEntry)))
      return Fail(error, "resource directory entries lie outside their section");
    return true;
  }

  bool ReadName(const ResourceDirectoryEntry& e, ResourceName* name, std::string* error) {
    if (!(e.Name & kHighBit)) {
      if (e.Name > 0xFFFF) return Fail(error, "a resource number does not fit in 16 bits");
      *name = ResourceName::Number(static_cast<uint16_t>(e.Name));
      return true;
    }
    const uint64_t at = e.Name & ~kHighBit;
    uint16_t length = 0;
    if (!Read(at, &length, sizeof length)) return Fail(error, "a resource name lies outside its section");
    name->isText = true;
    name->text.resize(length);
    std::vector<uint8_t> raw(uint64_t{length} * 2);
    if (length && !Read(at + 2, raw.data(), raw.size())) return Fail(error, "a resource name runs past its section");
    for (uint32_t i = 0; i < length; ++i) name->text[i] = static_cast<char16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    return true;
  }

  bool ReadLeaf(uint64_t offset, ResourceLeaf* leaf, std::string* error) {
    ResourceDataEntry data;
    if (!Read(offset, &data, sizeof data)) return Fail(error, "a resource data entry lies outside its section");
    if (!image_.RvaToOffset(data.OffsetToData, data.Size, &leaf->offset))
      return Fail(error, "a resource's data lies outside the image's sections");
    leaf->size = data.Size;
    leaf->codePage = data.CodePage;
    return true;
  }

  bool Read(uint64_t offset, void* out, uint64_t count) const {
    return FitsWithin(offset, count, limit_) && source_.ReadAt(base_ + offset, out, count);
  }

  const ByteSource& source_;
  const PeImage& image_;
  uint64_t base_, limit_;
  uint64_t visited_ = 0;
};

// Offsets of every piece of the section, worked out before anything is written.
struct SectionPlan {
  std::vector<const ResourceType*> types;
  std::vector<std::vector<const ResourceEntry*>> names;                     // per type
  std::vector<std::vector<std::vector<const ResourceLeaf*>>> languages;     // per type, per name
  uint64_t size = 0;
};

template <typename T, typename Before>
std::vector<const T*> Sorted(const std::vector<T>& items, Before before) {
  std::vector<const T*> out;
  for (const T& item : items) out.push_back(&item);
  std::stable_sort(out.begin(), out.end(), before);
  return out;
}

SectionPlan PlanSection(const ResourceTree& tree) {
  SectionPlan plan;
  plan.types = Sorted(tree.types, [](const ResourceType* a, const ResourceType* b) { return NameBefore(a->type, b->type); });
  for (const ResourceType* t : plan.types) {
    plan.names.push_back(
        Sorted(t->names, [](const ResourceEntry* a, const ResourceEntry* b) { return NameBefore(a->name, b->name); }));
    plan.languages.emplace_back();
    for (const ResourceEntry* n : plan.names.back())
      plan.languages.back().push_back(Sorted(
          n->languages, [](const ResourceLeaf* a, const ResourceLeaf* b) { return a->language < b->language; }));
  }
  return plan;
}

uint32_t CountNamed(const std::vector<const ResourceName*>& names) {
  uint32_t n = 0;
  for (const ResourceName* name : names) n += name->isText ? 1 : 0;
  return n;
}

// Writes the section in one pass over the plan, offsets assigned as it goes.
class SectionWriter {
 public:
  SectionWriter(const ByteSource& source, const SectionPlan& plan, uint32_t baseRva, std::vector<uint8_t>* out)
      : source_(source), plan_(plan), baseRva_(baseRva), out_(out) {}

  bool Write(std::string* error) {
    Layout();
    if (end_ > kLargestSection || uint64_t{baseRva_} + end_ > 0xFFFFFFFFu)
      return Fail(error, "the resource section would be too large");
    out_->assign(static_cast<size_t>(end_), 0);
    WriteTables();
    return WriteLeaves(error);
  }

 private:
  void Layout() {
    uint64_t at = TableSize(plan_.types.size());
    for (size_t t = 0; t < plan_.types.size(); ++t) {
      typeTables_.push_back(at);
      at += TableSize(plan_.names[t].size());
    }
    for (size_t t = 0; t < plan_.types.size(); ++t) {
      nameTables_.emplace_back();
      for (size_t n = 0; n < plan_.names[t].size(); ++n) {
        nameTables_.back().push_back(at);
        at += TableSize(plan_.languages[t][n].size());
      }
    }
    for (size_t t = 0; t < plan_.types.size(); ++t) {
      at = PlaceString(plan_.types[t]->type, at);
      for (const ResourceEntry* n : plan_.names[t]) at = PlaceString(n->name, at);
    }
    at = AlignUp(at, 8);
    for (size_t t = 0; t < plan_.types.size(); ++t)
      for (size_t n = 0; n < plan_.names[t].size(); ++n)
        for (const ResourceLeaf* leaf : plan_.languages[t][n]) {
          dataEntries_.push_back(at);
          leaves_.push_back(leaf);
          at += sizeof(ResourceDataEntry);
        }
    for (const ResourceLeaf* leaf : leaves_) {
      at = AlignUp(at, 8);
      dataAt_.push_back(at);
      at += leaf->size;
    }
    end_ = AlignUp(at, 8);
  }

  static uint64_t TableSize(size_t entries) { return sizeof(ResourceDirectory) + entries * sizeof(ResourceDirectoryEntry); }

  uint64_t PlaceString(const ResourceName& name, uint64_t at) {
    if (!name.isText) return at;
    stringAt_[&name] = at;
    return at + 2 + 2 * uint64_t{name.text.size()};
  }

  void WriteTables() {
    std::vector<const ResourceName*> typeNames;
    for (const ResourceType* t : plan_.types) typeNames.push_back(&t->type);
    WriteTable(0, typeNames, typeTables_);
    size_t leafIndex = 0;
    for (size_t t = 0; t < plan_.types.size(); ++t) {
      std::vector<const ResourceName*> names;
      for (const ResourceEntry* n : plan_.names[t]) names.push_back(&n->name);
      WriteTable(typeTables_[t], names, nameTables_[t]);
      for (size_t n = 0; n < plan_.names[t].size(); ++n) {
        const auto& langs = plan_.languages[t][n];
        const uint64_t table = nameTables_[t][n];
        PutLe16(out_, table + 14, static_cast<uint32_t>(langs.size()));
        for (size_t l = 0; l < langs.size(); ++l, ++leafIndex) {
          const size_t at = table + sizeof(ResourceDirectory) + l * sizeof(ResourceDirectoryEntry);
          PutLe32(out_, at, langs[l]->language);
          PutLe32(out_, at + 4, static_cast<uint32_t>(dataEntries_[leafIndex]));
        }
      }
    }
  }

  // One table whose entries point at subtables; text names get their strings written.
  void WriteTable(uint64_t table, const std::vector<const ResourceName*>& names, const std::vector<uint64_t>& subtables) {
    const uint32_t named = CountNamed(names);
    PutLe16(out_, table + 12, named);
    PutLe16(out_, table + 14, static_cast<uint32_t>(names.size()) - named);
    for (size_t i = 0; i < names.size(); ++i) {
      const size_t at = table + sizeof(ResourceDirectory) + i * sizeof(ResourceDirectoryEntry);
      PutLe32(out_, at, names[i]->isText ? (static_cast<uint32_t>(WriteString(*names[i])) | kHighBit) : names[i]->number);
      PutLe32(out_, at + 4, static_cast<uint32_t>(subtables[i]) | kHighBit);
    }
  }

  uint64_t WriteString(const ResourceName& name) {
    const uint64_t at = stringAt_.at(&name);
    PutLe16(out_, at, static_cast<uint32_t>(name.text.size()));
    for (size_t i = 0; i < name.text.size(); ++i) PutLe16(out_, at + 2 + 2 * i, name.text[i]);
    return at;
  }

  bool WriteLeaves(std::string* error) {
    for (size_t i = 0; i < leaves_.size(); ++i) {
      const ResourceLeaf& leaf = *leaves_[i];
      PutLe32(out_, dataEntries_[i], static_cast<uint32_t>(baseRva_ + dataAt_[i]));
      PutLe32(out_, dataEntries_[i] + 4, leaf.size);
      PutLe32(out_, dataEntries_[i] + 8, leaf.codePage);
      if (leaf.owned) {
        if (leaf.size) std::memcpy(out_->data() + dataAt_[i], leaf.bytes.data(), leaf.size);
      } else if (!source_.ReadAt(leaf.offset, out_->data() + dataAt_[i], leaf.size)) {
        return Fail(error, "cannot read a resource's data");
      }
    }
    return true;
  }

  const ByteSource& source_;
  const SectionPlan& plan_;
  uint32_t baseRva_;
  std::vector<uint8_t>* out_;
  std::vector<uint64_t> typeTables_, dataEntries_, dataAt_;
  std::map<const ResourceName*, uint64_t> stringAt_;
  std::vector<std::vector<uint64_t>> nameTables_;
  std::vector<const ResourceLeaf*> leaves_;
  uint64_t end_ = 0;
};

}  // namespace

ResourceName ResourceName::Number(uint16_t n) {
  ResourceName name;
  name.number = n;
  return name;
}

ResourceName ResourceName::Text(const std::string& text) {
  ResourceName name;
  name.isText = true;
  for (unsigned char c : text) name.text.push_back(c);
  return name;
}

std::string ResourceName::Narrow() const {
  std::string out;
  for (char16_t c : text) out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return out;
}

bool SameName(const ResourceName& a, const ResourceName& b) {
  if (a.isText != b.isText) return false;
  if (!a.isText) return a.number == b.number;
  if (a.text.size() != b.text.size()) return false;
  for (size_t i = 0; i < a.text.size(); ++i)
    if (UpperAscii(a.text[i]) != UpperAscii(b.text[i])) return false;
  return true;
}

const ResourceType* ResourceTree::FindType(const ResourceName& type) const {
  for (const ResourceType& t : types)
    if (SameName(t.type, type)) return &t;
  return nullptr;
}

const ResourceEntry* ResourceTree::FindEntry(const ResourceName& type, const ResourceName& name) const {
  const ResourceType* t = FindType(type);
  if (!t) return nullptr;
  for (const ResourceEntry& e : t->names)
    if (SameName(e.name, name)) return &e;
  return nullptr;
}

const ResourceLeaf* ResourceTree::FindLeaf(const ResourceName& type, const ResourceName& name, uint16_t language) const {
  const ResourceEntry* e = FindEntry(type, name);
  if (!e) return nullptr;
  for (const ResourceLeaf& leaf : e->languages)
    if (leaf.language == language) return &leaf;
  return nullptr;
}

const ResourceLeaf* ResourceTree::FindDefaultLeaf(const ResourceName& type, const ResourceName& name) const {
  const ResourceEntry* e = FindEntry(type, name);
  if (!e || e->languages.empty()) return nullptr;
  const ResourceLeaf* neutral = FindLeaf(type, name, 0);
  return neutral ? neutral : &e->languages.front();
}

void ResourceTree::Set(const ResourceName& type, const ResourceName& name, uint16_t language,
                       std::vector<uint8_t> bytes) {
  ResourceType* t = const_cast<ResourceType*>(FindType(type));
  if (!t) {
    types.push_back(ResourceType{type, {}});
    t = &types.back();
  }
  ResourceEntry* e = const_cast<ResourceEntry*>(FindEntry(type, name));
  if (!e) {
    t->names.push_back(ResourceEntry{name, {}});
    e = &t->names.back();
  }
  ResourceLeaf* leaf = const_cast<ResourceLeaf*>(FindLeaf(type, name, language));
  if (!leaf) {
    e->languages.emplace_back();
    leaf = &e->languages.back();
    leaf->language = language;
  }
  leaf->owned = true;
  leaf->size = static_cast<uint32_t>(bytes.size());
  leaf->bytes = std::move(bytes);
  leaf->offset = 0;
}

void ResourceTree::Remove(const ResourceName& type, const ResourceName& name, uint16_t language) {
  for (size_t t = 0; t < types.size(); ++t) {
    if (!SameName(types[t].type, type)) continue;
    auto& names = types[t].names;
    for (size_t n = 0; n < names.size(); ++n) {
      if (!SameName(names[n].name, name)) continue;
      auto& langs = names[n].languages;
      langs.erase(std::remove_if(langs.begin(), langs.end(),
                                 [language](const ResourceLeaf& l) { return l.language == language; }),
                  langs.end());
      if (langs.empty()) names.erase(names.begin() + n);
      break;
    }
    if (names.empty()) types.erase(types.begin() + t);
    return;
  }
}

bool ReadResourceTree(const ByteSource& source, const PeImage& image, ResourceTree* tree, std::string* error) {
  tree->types.clear();
  if (image.directories.size() <= kDirResource) return true;
  const DataDirectory& dir = image.directories[kDirResource];
  if (dir.VirtualAddress == 0 || dir.Size == 0) return true;
  const int index = image.SectionOfRva(dir.VirtualAddress);
  if (index < 0) return Fail(error, "the resource directory lies outside the image's sections");
  const SectionHeader& h = image.sections[index].header;
  const uint64_t within = uint64_t{dir.VirtualAddress} - h.VirtualAddress;
  if (within >= h.SizeOfRawData) return Fail(error, "the resource directory lies outside its section's data");
  // Names and tables may lie anywhere from the directory's start to its section's end.
  DirectoryReader reader(source, image, uint64_t{h.PointerToRawData} + within, h.SizeOfRawData - within);
  return reader.ReadTypes(tree, error);
}

bool LoadLeaf(const ByteSource& source, const ResourceLeaf& leaf, std::vector<uint8_t>* bytes) {
  if (leaf.owned) {
    *bytes = leaf.bytes;
    return true;
  }
  bytes->resize(leaf.size);
  return source.ReadAt(leaf.offset, bytes->data(), leaf.size);
}

bool SerializeResourceTree(const ByteSource& source, const ResourceTree& tree, uint32_t baseRva,
                           std::vector<uint8_t>* section, std::string* error) {
  const SectionPlan plan = PlanSection(tree);
  SectionWriter writer(source, plan, baseRva, section);
  return writer.Write(error);
}

}  // namespace pe
