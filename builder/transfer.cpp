// Both transfers follow one pattern: a pending update of the target, the target and the
// executable opened as data modules, removal of what the target has, addition of what
// the executable has, and one commit at the end only if every step succeeded. The data
// modules are always released before the update ends, because committing rewrites the
// target file.
#include "builder/transfer.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "pe/pe_update.h"

namespace {

using pe::DataModule;
using pe::ResourceName;
using pe::ResourceUpdate;

const ResourceName kIconImage = ResourceName::Number(pe::kRtIcon);
const ResourceName kIconGroup = ResourceName::Number(pe::kRtGroupIcon);
const ResourceName kVersionInfo = ResourceName::Number(pe::kRtVersion);

// The image numbers a group icon directory lists, in its order. False when the directory
// is shorter than its own count says.
bool ListedImages(const std::vector<uint8_t>& group, std::vector<uint16_t>* images) {
  pe::GroupIconHeader header;
  if (group.size() < sizeof header) return false;
  std::memcpy(&header, group.data(), sizeof header);
  if (sizeof header + uint64_t{header.Count} * sizeof(pe::GroupIconEntry) > group.size()) return false;
  for (uint32_t i = 0; i < header.Count; ++i) {
    pe::GroupIconEntry entry;
    std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
    images->push_back(entry.Id);
  }
  return true;
}

bool LoadExact(const DataModule& module, const ResourceName& type, const ResourceName& name, uint16_t language,
               std::vector<uint8_t>* bytes) {
  return module.Load(module.FindEx(type, name, language), bytes);
}

bool Remove(ResourceUpdate& update, const ResourceName& type, const ResourceName& name, uint16_t language) {
  return update.Update(type, name, language, nullptr, 0);
}

bool Add(ResourceUpdate& update, const ResourceName& type, const ResourceName& name, uint16_t language,
         const std::vector<uint8_t>& bytes) {
  static const uint8_t kNothing = 0;  // an empty resource is still an addition, not a removal
  return update.Update(type, name, language, bytes.empty() ? &kNothing : bytes.data(),
                       static_cast<uint32_t>(bytes.size()));
}

// The target's first icon group, in each of its languages, and the images it lists.
bool RemoveTargetIcons(const DataModule& target, ResourceUpdate& update, std::vector<ResourceName>& names,
                       std::vector<uint16_t>& languages, ResourceName* groupName, bool* hasGroup) {
  if (!target.EnumNames(kIconGroup, &names)) return false;
  *hasGroup = !names.empty();
  if (!*hasGroup) return true;
  *groupName = names.front();
  if (!target.EnumLanguages(kIconGroup, *groupName, &languages)) return false;
  for (uint16_t language : languages) {
    std::vector<uint8_t> group;
    std::vector<uint16_t> images;
    if (!LoadExact(target, kIconGroup, *groupName, language, &group) || !ListedImages(group, &images)) return false;
    for (uint16_t image : images)
      if (!Remove(update, kIconImage, ResourceName::Number(image), language)) return false;
    if (!Remove(update, kIconGroup, *groupName, language)) return false;
  }
  return true;
}

// The executable's first icon group, in each of its languages, with the images it lists
// under their own numbers. True when everything was added.
bool AddExecutableIcons(const DataModule& executable, ResourceUpdate& update, std::vector<ResourceName>& names,
                        std::vector<uint16_t>& languages, ResourceName groupName, bool targetHasGroup) {
  names.clear();
  if (!executable.EnumNames(kIconGroup, &names) || names.empty()) return false;
  const ResourceName exeGroup = names.front();
  if (!targetHasGroup) groupName = exeGroup;
  languages.clear();
  if (!executable.EnumLanguages(kIconGroup, exeGroup, &languages)) return false;
  for (uint16_t language : languages) {
    std::vector<uint8_t> group;
    std::vector<uint16_t> images;
    if (!LoadExact(executable, kIconGroup, exeGroup, language, &group) || !ListedImages(group, &images)) return false;
    for (uint16_t image : images) {
      std::vector<uint8_t> bytes;
      const ResourceName number = ResourceName::Number(image);
      if (!executable.Load(executable.Find(kIconImage, number), &bytes)) return false;
      if (!Add(update, kIconImage, number, language, bytes)) return false;
    }
    if (!Add(update, kIconGroup, groupName, language, group)) return false;
  }
  return true;
}

bool RemoveTargetVersionInfo(const DataModule& target, ResourceUpdate& update, std::vector<ResourceName>& names,
                             std::vector<uint16_t>& languages) {
  if (!target.EnumNames(kVersionInfo, &names)) return false;
  for (const ResourceName& name : names) {
    languages.clear();
    if (!target.EnumLanguages(kVersionInfo, name, &languages)) return false;
    for (uint16_t language : languages)
      if (!Remove(update, kVersionInfo, name, language)) return false;
  }
  return true;
}

bool AddExecutableVersionInfo(const DataModule& executable, ResourceUpdate& update, std::vector<ResourceName>& names,
                              std::vector<uint16_t>& languages) {
  names.clear();
  if (!executable.EnumNames(kVersionInfo, &names)) return false;
  for (const ResourceName& name : names) {
    languages.clear();
    if (!executable.EnumLanguages(kVersionInfo, name, &languages)) return false;
    for (uint16_t language : languages) {
      std::vector<uint8_t> bytes;
      if (!LoadExact(executable, kVersionInfo, name, language, &bytes)) return false;
      if (!Add(update, kVersionInfo, name, language, bytes)) return false;
    }
  }
  return true;
}

// The frame both transfers share: the target and the executable opened as data modules,
// `removeFromTarget` then `addFromExecutable` collecting into one pending update, committed
// only if both succeeded. A commit that could not be written is a failed transfer too: the
// writer has put the target back as it was.
template <typename Remove, typename Add>
bool Transfer(const std::string& executable, const std::string& target, FileSystem& fs, Remove removeFromTarget,
              Add addFromExecutable) {
  ResourceUpdate update;
  if (!update.Begin(target, nullptr, fs)) return false;
  bool success = false;
  {
    DataModule targetModule, exeModule;
    if (targetModule.Open(target, nullptr, fs) && removeFromTarget(targetModule, update) &&
        exeModule.Open(executable, nullptr, fs))
      success = addFromExecutable(exeModule, update);
  }  // released before the commit rewrites the target
  const bool ended = update.End(!success, nullptr);
  return success && ended;
}

}  // namespace

bool TransferIcons(const std::string& executable, const std::string& target, FileSystem& fs) {
  std::vector<ResourceName> names;
  std::vector<uint16_t> languages;
  ResourceName groupName;
  bool targetHasGroup = false;
  return Transfer(
      executable, target, fs,
      [&](const DataModule& module, ResourceUpdate& update) {
        return RemoveTargetIcons(module, update, names, languages, &groupName, &targetHasGroup);
      },
      [&](const DataModule& module, ResourceUpdate& update) {
        return AddExecutableIcons(module, update, names, languages, groupName, targetHasGroup);
      });
}

bool TransferVersionInfo(const std::string& executable, const std::string& target, FileSystem& fs) {
  std::vector<ResourceName> names;
  std::vector<uint16_t> languages;
  return Transfer(
      executable, target, fs,
      [&](const DataModule& module, ResourceUpdate& update) {
        return RemoveTargetVersionInfo(module, update, names, languages);
      },
      [&](const DataModule& module, ResourceUpdate& update) {
        return AddExecutableVersionInfo(module, update, names, languages);
      });
}
