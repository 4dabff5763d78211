// Any bytes as a PE image: header parse, resource directory walk, lookups and loads must
// never read out of bounds, whatever the offsets and counts say.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pe/pe_image.h"
#include "pe/pe_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pe::MemorySource source(data, size);
  pe::PeImage image;
  if (!pe::ParsePeImage(source, &image, nullptr)) return 0;
  uint64_t offset = 0;
  image.RvaToOffset(image.optional.AddressOfEntryPoint, 16, &offset);
  std::vector<std::string> dlls;
  pe::ReadImportedDlls(source, image, &dlls, nullptr);
  uint32_t sum = 0;
  pe::ComputePeChecksum(source, image.CheckSumOffset(), &sum);
  pe::ResourceTree tree;
  if (!pe::ReadResourceTree(source, image, &tree, nullptr)) return 0;
  std::vector<uint8_t> bytes;
  for (const pe::ResourceType& t : tree.types)
    for (const pe::ResourceEntry& e : t.names) {
      const pe::ResourceLeaf* leaf = tree.FindDefaultLeaf(t.type, e.name);
      if (leaf && !pe::LoadLeaf(source, *leaf, &bytes)) __builtin_trap();  // the reader vouched for it
    }
  return 0;
}
