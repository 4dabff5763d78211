#include <windows.h>

#include "platform/resources.h"

bool LockNamedResource(const char* type, const char* name, const void** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  HRSRC found = FindResourceA(nullptr, name, type);
  if (!found) return false;
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (!loaded) return false;
  *size = SizeofResource(nullptr, found);
  if (*size == 0) return false;
  *data = LockResource(loaded);
  return *data != nullptr;
}
