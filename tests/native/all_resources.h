// Every resource of an image, read back through pe/'s reader, for tests that compare what a
// writer or a transfer left with what it should have.
#pragma once

#include <map>
#include <string>
#include <tuple>

#include "pe/pe_resources.h"
#include "pe/pe_update.h"
#include "tests/native/pe_test_images.h"

namespace peimg {

// Parses `file` and, when `tree` is given, reads its resource directory; `error` says why not.
inline bool ReadsTree(const Bytes& file, pe::ResourceTree* tree = nullptr, std::string* error = nullptr) {
  pe::MemorySource source(file);
  pe::PeImage image;
  std::string e;
  const bool ok = pe::ParsePeImage(source, &image, &e) && (!tree || pe::ReadResourceTree(source, image, tree, &e));
  if (error) *error = e;
  return ok;
}

// A name or type as text: the text itself, or "#" and the number.
inline std::string IdText(const pe::ResourceName& n) { return n.isText ? n.Narrow() : "#" + std::to_string(n.number); }

using ResourceKey = std::tuple<std::string, std::string, uint16_t>;  // type, name, language

inline std::map<ResourceKey, Bytes> AllResources(const Bytes& file) {
  pe::ResourceTree tree;
  std::string error;
  EXPECT_TRUE(ReadsTree(file, &tree, &error)) << error;
  pe::MemorySource source(file);
  std::map<ResourceKey, Bytes> out;
  for (const auto& t : tree.types)
    for (const auto& n : t.names)
      for (const auto& l : n.languages) {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(pe::LoadLeaf(source, l, &bytes));
        out[ResourceKey{IdText(t.type), IdText(n.name), l.language}] = bytes;
      }
  return out;
}

inline std::map<ResourceKey, Bytes> AllResources(const std::string& path) { return AllResources(ReadFile(path)); }

// `target` took over `exe`'s first icon group (as the system enumerates them) under the name
// MAINICON in each of its languages, and all of `exe`'s version information.
inline void ExpectIconsAndVersionOf(const std::string& exe, const std::string& target) {
  pe::DataModule module;
  std::vector<pe::ResourceName> groups;
  ASSERT_TRUE(module.Open(exe, nullptr) && module.EnumNames(pe::ResourceName::Number(14), &groups)) << exe;
  ASSERT_FALSE(groups.empty()) << exe;
  const auto from = AllResources(exe), to = AllResources(target);
  size_t groupsSeen = 0, versionsSeen = 0;
  for (const auto& [key, bytes] : from) {
    if (std::get<0>(key) == "#14" && std::get<1>(key) == IdText(groups[0])) {
      ++groupsSeen;
      EXPECT_EQ(to.at(ResourceKey{"#14", "MAINICON", std::get<2>(key)}), bytes) << exe;
    }
    if (std::get<0>(key) == "#16") {
      ++versionsSeen;
      EXPECT_EQ(to.at(key), bytes) << exe;
    }
  }
  EXPECT_GT(groupsSeen, 0u) << exe;
  size_t versionsThere = 0;
  for (const auto& entry : to) versionsThere += std::get<0>(entry.first) == "#16";
  EXPECT_EQ(versionsThere, versionsSeen) << "the target's own version information is gone";
}

}  // namespace peimg
