// Feeds arbitrary bytes to the compressed payload reader, LZMA decoder included, as the
// stub and kesdra-inspect read them: the checks before writing, then the decoding. The CRC
// would stop almost every input at once, so the target puts a valid one back first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/packed_reader.h"

namespace {

bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
  const std::string* b = static_cast<const std::string*>(context);
  if (pos < 0 || count < 0 || static_cast<uint64_t>(pos) + static_cast<uint64_t>(count) > b->size()) return false;
  std::memcpy(buffer, b->data() + pos, count);
  return true;
}

bool OddLeadByte(unsigned char c) { return c >= 0x81 && c <= 0x9F; }

struct Sink;
bool NameOk(const Sink& s, const char* name, int32_t length);

// The dictionary is capped here, so a declared 16 MiB does not cost every run 16 MiB.
constexpr size_t kMaxBlock = 1 << 20;
void* Allocate(size_t size) { return size <= kMaxBlock + (1 << 16) ? std::malloc(size) : nullptr; }

struct Sink {
  bool utf8 = false;  // names of version 3
  int32_t open = 0;
  int64_t data = 0;
  int32_t entries = 0;  // ended so far, copies too
};

bool NameOk(const Sink& s, const char* name, int32_t length) {
  return s.utf8 ? IsSafeUtf8Name(name, length) : IsSafeStoredName(name, length, OddLeadByte);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int32_t start = 16;  // the bytes before stand for the stub image
  std::string bytes(start + kPayloadIdSize, '\0');
  bytes.append(reinterpret_cast<const char*>(data), size);
  // A small dictionary in the properties (versions 1 and 2), so that decoding is not refused
  // for want of memory.
  const size_t props = start + kPayloadIdSize + offsetof(PackedHeader, Props);
  if (bytes.size() >= props + 5) {
    bytes[props + 3] = static_cast<char>(bytes[props + 3] & 0x0F);
    bytes[props + 4] = 0;
  }
  const size_t header = start + kPayloadIdSize;
  if (bytes.size() >= header + kPackedHeaderSize && bytes[header + offsetof(PackedHeader, Version)] == kPackedVersion) {
    // Version 3: the payload runs to the input's end, and its CRC leaves the size out.
    const uint32_t payloadSize = static_cast<uint32_t>(bytes.size() - header);
    for (int i = 0; i < 4; ++i) bytes[header + kPayloadSizeAt + i] = static_cast<char>(payloadSize >> (8 * i));
    const uint32_t crc = Crc32(Crc32(0, bytes.data() + header, kPayloadSizeAt), bytes.data() + header + kPayloadSizeAt + 4,
                               static_cast<int32_t>(bytes.size() - header - kPayloadSizeAt - 8));
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  } else if (bytes.size() > header + 4) {
    const uint32_t crc = Crc32(0, bytes.data() + header, static_cast<int32_t>(bytes.size() - header - 4));
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  }
  PayloadSource src{&bytes, ReadAt, static_cast<int64_t>(bytes.size())};
  PackedLayout layout;
  if (CheckPackedPayload(src, start, &layout, nullptr) != kFaultNone) return 0;
  static std::vector<char> name(kMaxStoredNameLen);
  const PackedMemory memory = {Allocate, std::free};
  Sink state;
  state.utf8 = HasUtf8Names(layout);
  const EntrySink sink = {
      &state,
      [](void* c, const EntryHeader& h, const char* n) {
        if (!NameOk(*static_cast<Sink*>(c), n, h.NameLen)) __builtin_trap();  // a refused name never gets out
        ++static_cast<Sink*>(c)->open;
      },
      [](void* c, const void*, int32_t count) { static_cast<Sink*>(c)->data += count; },
      [](void* c, const EntryHeader&) {
        --static_cast<Sink*>(c)->open;
        ++static_cast<Sink*>(c)->entries;
      },
      [](void* c, const EntryHeader& h, const char* n, int32_t source, uint32_t) {
        Sink* s = static_cast<Sink*>(c);
        // A copy comes between entries, names an earlier one and has a checked name.
        if (s->open != 0 || source < 0 || source >= s->entries || !NameOk(*s, n, h.NameLen))
          __builtin_trap();
        s->data += h.Size;
        ++s->entries;
      }};
  const PayloadFault fault = UnpackPayload(src, layout, OddLeadByte, name.data(), memory, sink);
  // Success means every entry was closed and the data added up to the declared total.
  if (fault == kFaultNone && (state.open != 0 || state.data != layout.dataSize)) __builtin_trap();
  return 0;
}
