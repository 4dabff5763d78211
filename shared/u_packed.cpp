#include "shared/u_packed.h"

namespace {

uint32_t g_crcTable[256];

// Made on first use: 1 KiB of zeroed memory costs the stub nothing, a constant table 1 KiB.
void FillCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    g_crcTable[i] = c;
  }
}

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, int32_t count) {
  if (g_crcTable[1] == 0) FillCrcTable();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (int32_t i = 0; i < count; ++i) crc = g_crcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
