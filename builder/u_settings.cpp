#include "u_settings.h"

#include <cstring>

bool SettingsValueText(uint32_t type, const void* data, size_t size, std::string* text) {
  const uint32_t kString = 1, kExpandString = 2;
  if (type != kString && type != kExpandString) return false;
  const char* bytes = static_cast<const char*>(data);
  if (bytes == nullptr || size == 0) {
    text->clear();
    return true;
  }
  const void* zero = std::memchr(bytes, 0, size);
  text->assign(bytes, zero ? static_cast<const char*>(zero) - bytes : size);
  return true;
}
