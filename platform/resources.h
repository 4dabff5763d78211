// The program's own embedded resources: Win32 resources on Windows, data linked into the
// image on Linux. Either way the bytes are read-only and live until the program ends.
#pragma once

#include <cstddef>

bool LockNamedResource(const char* type, const char* name, const void** data, size_t* size);
