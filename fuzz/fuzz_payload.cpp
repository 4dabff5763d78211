// Feeds arbitrary bytes to the payload reader as a whole produced file: locate, identifier,
// walk, then every entry and its checksum, as the stub and kesdra-inspect read them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "container/payload_reader.h"

namespace {

struct Bytes {
  const uint8_t* data;
  size_t size;
};

bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
  const Bytes* b = static_cast<const Bytes*>(context);
  if (pos < 0 || count < 0 || static_cast<uint64_t>(pos) + static_cast<uint64_t>(count) > b->size) return false;
  std::memcpy(buffer, b->data + pos, count);
  return true;
}

bool OddLeadByte(unsigned char c) { return c >= 0x81 && c <= 0x9F; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes bytes{data, size};
  PayloadSource src{&bytes, ReadAt, static_cast<int64_t>(size)};
  static std::vector<char> name(kMaxStoredNameLen);
  int32_t start = 0;
  if (LocatePayloadStart(src, &start) != kFaultNone) return 0;
  // Also try the bytes as a bare payload at offset 0x40 so the fuzzer reaches the walk
  // without having to build a PE header first.
  for (int32_t at : {start, static_cast<int32_t>(0x40)}) {
    PayloadId id;
    if (ReadPayloadId(src, at, &id) != kFaultNone) continue;
    int32_t total = 0;
    const PayloadFault walked = WalkPayload(src, at, OddLeadByte, name.data(), nullptr, nullptr, &total);
    if (walked != kFaultNone && walked != kFaultNoData) continue;
    // The sink sees only safe names, and exactly Size bytes before an entry's end.
    struct Seen {
      int64_t left;
    } seen{0};
    const EntrySink sink = {
        &seen,
        [](void* c, const EntryHeader& h, const char* n) {
          if (!IsSafeStoredName(n, h.NameLen, OddLeadByte)) __builtin_trap();
          static_cast<Seen*>(c)->left = h.Size;
        },
        [](void* c, const void*, int32_t count) { static_cast<Seen*>(c)->left -= count; },
        [](void* c, const EntryHeader&) {
          if (static_cast<Seen*>(c)->left != 0) __builtin_trap();
        },
        nullptr};
    ReadStoredPayload(src, at, OddLeadByte, name.data(), sink);
  }
  return 0;
}
