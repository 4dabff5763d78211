// The PE image checksum, summed piece by piece: the resource writer sums a rebuilt image in
// memory at once, the builder sums a produced file while it writes it, so that the payload
// is never read a second time.
#pragma once

#include <cstdint>

namespace pe {

class PeChecksum {
 public:
  // The four bytes at `fieldOffset` (the checksum field) count as zero wherever they are added.
  explicit PeChecksum(uint64_t fieldOffset) : fieldOffset_(fieldOffset) {}
  // `count` bytes that stand at file offset `offset`; pieces may come in any order.
  void Add(const void* data, uint64_t count, uint64_t offset);
  // The checksum as the system computes it: the little-endian 16-bit words summed with
  // end-around carry, plus the file length.
  uint32_t Value(uint64_t fileSize) const;

 private:
  uint64_t fieldOffset_;
  uint64_t sum_ = 0;  // of the words' values, carries not yet folded
};

}  // namespace pe
