// sfxhead: the self-extractor at the front of every produced file. No C runtime: its own
// entry point, only the system DLLs it calls.
#include <windows.h>

#include "shared/u_shared.h"

extern "C" void __stdcall SfxEntry() { ExitProcess(0); }
