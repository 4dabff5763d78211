#include <cstring>

#include "resources.h"

// Linked in from the cross-built stub by builder/stub_image.S.
extern "C" const unsigned char kesdra_stub_image_begin[];
extern "C" const unsigned char kesdra_stub_image_end[];

bool LockNamedResource(const char* type, const char* name, const void** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  if (std::strcmp(type, "EXE") != 0 || std::strcmp(name, "SFXHEAD") != 0) return false;
  *size = static_cast<size_t>(kesdra_stub_image_end - kesdra_stub_image_begin);
  if (*size == 0) return false;
  *data = kesdra_stub_image_begin;
  return true;
}
