// Reading another file's resources as a data module, and changing a file's resources
// through one pending update that is either committed as a whole or discarded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "pe/pe_resources.h"

namespace pe {

// A PE file opened for reading its resources only (it is never run). The file stays open
// until Release, and is read in place.
class DataModule {
 public:
  // Fails for anything that is not a PE32 or PE32+ image.
  bool Open(const std::string& path, std::string* error, FileSystem& fs = NativeFileSystem());
  void Release();

  // Names of `type` in directory order; a type the module lacks gives an empty list.
  // False only when the resource directory is damaged.
  bool EnumNames(const ResourceName& type, std::vector<ResourceName>* names) const;
  // Languages of one resource in directory order; false when there is no such resource.
  bool EnumLanguages(const ResourceName& type, const ResourceName& name, std::vector<uint16_t>* languages) const;
  const ResourceLeaf* FindEx(const ResourceName& type, const ResourceName& name, uint16_t language) const;
  // Language neutral first, otherwise the first language in the directory.
  const ResourceLeaf* Find(const ResourceName& type, const ResourceName& name) const;
  bool Load(const ResourceLeaf* leaf, std::vector<uint8_t>* bytes) const;

 private:
  FileSource file_;
  PeImage image_;
  ResourceTree tree_;
  bool open_ = false;
  bool treeValid_ = false;
};

// Lays `tree` out as the image's resource section and returns the whole new file: the
// section rewritten in place when it is the image's last, else appended as a new last
// section; section table, SizeOfImage, the resource directory entry and the checksum
// updated; nothing after the last section's raw data (an overlay or certificate is dropped
// and the headers that pointed into it cleared).
bool RebuildImage(const std::vector<uint8_t>& original, const ResourceTree& tree, std::vector<uint8_t>* rebuilt,
                  std::string* error);

// One pending change of a file's resources, which keeps the existing ones.
class ResourceUpdate {
 public:
  bool Begin(const std::string& path, std::string* error, FileSystem& fs = NativeFileSystem());
  // Adds or replaces (data) or removes (no data, size 0) one resource of the pending set.
  bool Update(const ResourceName& type, const ResourceName& name, uint16_t language, const void* data,
              uint32_t size);
  // discard: the file is not touched. Otherwise it is rewritten with the pending set; if
  // that fails half-way the original bytes are put back.
  bool End(bool discard, std::string* error);

 private:
  std::string path_;
  FileSystem* fs_ = nullptr;
  std::vector<uint8_t> original_;
  ResourceTree tree_;
  bool active_ = false;
};

}  // namespace pe
