// Read, change, write, read again: whatever image the writer accepts, what it produces
// must read back with the same resources plus the change, and end at its last section.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pe/pe_image.h"
#include "pe/pe_resources.h"
#include "pe/pe_update.h"

namespace {

bool ReadTree(const std::vector<uint8_t>& bytes, pe::PeImage* image, pe::ResourceTree* tree) {
  pe::MemorySource source(bytes);
  return pe::ParsePeImage(source, image, nullptr) && pe::ReadResourceTree(source, *image, tree, nullptr);
}

size_t Leaves(const pe::ResourceTree& tree) {
  size_t n = 0;
  for (const auto& t : tree.types)
    for (const auto& e : t.names) n += e.languages.size();
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> original(data, data + size);
  pe::PeImage image;
  pe::ResourceTree tree;
  if (!ReadTree(original, &image, &tree)) return 0;
  // One change driven by the input itself: add a resource that is new, or remove the first.
  const std::vector<uint8_t> added(data, data + (size < 64 ? size : 64));
  const pe::ResourceName type = pe::ResourceName::Text("FUZZ"), name = pe::ResourceName::Number(7);
  tree.Set(type, name, 1033, added);
  std::vector<uint8_t> rebuilt;
  if (!pe::RebuildImage(original, tree, &rebuilt, nullptr)) return 0;

  pe::PeImage again;
  pe::ResourceTree back;
  if (!ReadTree(rebuilt, &again, &back)) __builtin_trap();
  if (again.EndOfSectionData() != rebuilt.size()) __builtin_trap();
  if (Leaves(back) != Leaves(tree)) __builtin_trap();
  pe::MemorySource source(rebuilt);
  std::vector<uint8_t> bytes;
  const pe::ResourceLeaf* leaf = back.FindLeaf(type, name, 1033);
  if (!leaf || !pe::LoadLeaf(source, *leaf, &bytes) || bytes != added) __builtin_trap();
  return 0;
}
