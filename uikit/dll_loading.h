// Where the builder's DLLs come from. A program is often started from a downloads folder,
// where anybody's DLL may lie beside it: the system folder becomes the only place the loader
// searches for DLLs named without a path, and the DLLs that the shell and the window code load
// later by name are loaded from there at start-up, before anything could ask for them.
#pragma once

#include <windows.h>

// Call first in WinMain, before any window, shell or COM call.
void RestrictDllSearchToSystem();
// `name` (for example "version.dll") from the system folder only; null when it is not there.
HMODULE LoadSystemDll(const char* name);
