// Every resource of an image, read back through pe/'s reader, for tests that compare what a
// writer or a transfer left with what it should have.
#pragma once

#include <map>
#include <string>
#include <tuple>

#include "pe/pe_resources.h"
#include "tests/native/pe_test_images.h"

namespace peimg {

// A name or type as text: the text itself, or "#" and the number.
inline std::string IdText(const pe::ResourceName& n) { return n.isText ? n.Narrow() : "#" + std::to_string(n.number); }

using ResourceKey = std::tuple<std::string, std::string, uint16_t>;  // type, name, language

inline std::map<ResourceKey, Bytes> AllResources(const Bytes& file) {
  pe::MemorySource source(file);
  pe::PeImage image;
  pe::ResourceTree tree;
  std::string error;
  EXPECT_TRUE(pe::ParsePeImage(source, &image, &error) && pe::ReadResourceTree(source, image, &tree, &error)) << error;
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

}  // namespace peimg
