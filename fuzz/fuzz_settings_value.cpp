// A remembered path as the registry hands it back: any type, any bytes, any size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "builder/u_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t type = data[0] % 12;  // the registry's value types and a few beyond
  std::string field = "unchanged";
  const bool taken = SettingsValueText(type, data + 1, size - 1, &field);
  if (taken && field.size() > size - 1) __builtin_trap();      // never more than was stored
  if (!taken && field != "unchanged") __builtin_trap();         // a skipped value leaves the field
  if (taken && field.find('\0') != std::string::npos) __builtin_trap();
  return 0;
}
