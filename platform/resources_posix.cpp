#include <cstring>

#include "platform/resources.h"

// Linked in from the cross-built stub by builder/stub_image.S.
extern "C" const unsigned char kesdra_stub_image_begin[];
extern "C" const unsigned char kesdra_stub_image_end[];
extern "C" const unsigned char kesdra_packed_stub_image_begin[];
extern "C" const unsigned char kesdra_packed_stub_image_end[];

bool LockNamedResource(const char* type, const char* name, const void** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  if (std::strcmp(type, "EXE") != 0) return false;
  const bool packed = std::strcmp(name, "SFXHEADZ") == 0;
  if (!packed && std::strcmp(name, "SFXHEAD") != 0) return false;
  const unsigned char* begin = packed ? kesdra_packed_stub_image_begin : kesdra_stub_image_begin;
  const unsigned char* end = packed ? kesdra_packed_stub_image_end : kesdra_stub_image_end;
  *size = static_cast<size_t>(end - begin);
  if (*size == 0) return false;
  *data = begin;
  return true;
}
