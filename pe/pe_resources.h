// The resources of a PE image as a tree of types, names and languages: read from a file
// with every offset checked, searched, changed and laid out again as a resource section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_image.h"

namespace pe {

// A resource type or name: a 16-bit number or a text (UTF-16, as the directory stores it).
struct ResourceName {
  bool isText = false;
  uint16_t number = 0;
  std::u16string text;

  static ResourceName Number(uint16_t n);
  // From 8-bit text; bytes are taken as code units (the names this program uses are ASCII).
  static ResourceName Text(const std::string& text);
  std::string Narrow() const;  // text names only; characters above 0xFF become '?'
};

// The same resource name, as the system matches names: numbers exactly, texts without
// regard to ASCII letter case.
bool SameName(const ResourceName& a, const ResourceName& b);

// One language of one resource. Bytes read from an image stay in the file (offset, size)
// until asked for; bytes added by an update are held here.
struct ResourceLeaf {
  uint16_t language = 0;
  uint32_t codePage = 0;
  uint64_t offset = 0;  // file offset of the bytes, when !owned
  uint32_t size = 0;
  bool owned = false;
  std::vector<uint8_t> bytes;  // when owned
};

struct ResourceEntry {
  ResourceName name;
  std::vector<ResourceLeaf> languages;  // in directory order
};

struct ResourceType {
  ResourceName type;
  std::vector<ResourceEntry> names;  // in directory order: named entries, then numbered
};

struct ResourceTree {
  std::vector<ResourceType> types;

  const ResourceType* FindType(const ResourceName& type) const;
  const ResourceEntry* FindEntry(const ResourceName& type, const ResourceName& name) const;
  const ResourceLeaf* FindLeaf(const ResourceName& type, const ResourceName& name, uint16_t language) const;
  // Language neutral (0) when there is one, otherwise the first language in the directory.
  const ResourceLeaf* FindDefaultLeaf(const ResourceName& type, const ResourceName& name) const;

  // Adds or replaces one resource; removes one (absent: nothing to do). Empty names and
  // types are dropped, so the tree never holds an empty directory.
  void Set(const ResourceName& type, const ResourceName& name, uint16_t language, std::vector<uint8_t> bytes);
  void Remove(const ResourceName& type, const ResourceName& name, uint16_t language);
};

// Reads the resource tree of `image`. An image without a resource directory has an empty
// tree. Fails (with the reason) on any offset, size or count that does not hold.
bool ReadResourceTree(const ByteSource& source, const PeImage& image, ResourceTree* tree, std::string* error);

// The bytes of one leaf: its own when owned, else read from `source`.
bool LoadLeaf(const ByteSource& source, const ResourceLeaf& leaf, std::vector<uint8_t>* bytes);

// Lays the tree out as a resource section that will be mapped at `baseRva`: tables in the
// order the loader's binary search needs (texts ascending, then numbers ascending), names,
// data entries, then the data, each piece 8-byte aligned.
bool SerializeResourceTree(const ByteSource& source, const ResourceTree& tree, uint32_t baseRva,
                           std::vector<uint8_t>* section, std::string* error);

}  // namespace pe
