// A program for a produced file to launch: records how it was started (its parameters as
// the C runtime splits them, its raw parameter string and its working directory) in the
// file named by KESDRA_PROBE_OUT, and ends with the exit code in KESDRA_PROBE_EXIT. With
// KESDRA_PROBE_ATTR it also records that file's attributes and local last-write time, which
// only a launched program can see: the stub clears them when it registers the removal.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  char out[MAX_PATH + 1] = {};
  char code[32] = {};
  GetEnvironmentVariableA("KESDRA_PROBE_OUT", out, sizeof out);
  GetEnvironmentVariableA("KESDRA_PROBE_EXIT", code, sizeof code);
  char cwd[MAX_PATH + 1] = {};
  GetCurrentDirectoryA(sizeof cwd, cwd);
  char self[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, self, sizeof self);
  if (out[0]) {
    FILE* f = std::fopen(out, "wb");
    if (f) {
      // The stub takes its progress window down before it starts this program.
      const bool stubWindow = FindWindowA("tarvexwindowclass", nullptr) != nullptr;
      std::fprintf(f, "cwd=%s\nself=%s\nwindow=%d\nargc=%d\n", cwd, self, stubWindow ? 1 : 0, argc - 1);
      for (int i = 1; i < argc; ++i) std::fprintf(f, "arg=%s\n", argv[i]);
      char attrOf[MAX_PATH + 1] = {};
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (GetEnvironmentVariableA("KESDRA_PROBE_ATTR", attrOf, sizeof attrOf) &&
          GetFileAttributesExA(attrOf, GetFileExInfoStandard, &data)) {
        FILETIME local;
        SYSTEMTIME st;
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
        FileTimeToSystemTime(&local, &st);
        std::fprintf(f, "attr=%lx\ntime=%04u-%02u-%02u %02u:%02u:%02u\n", data.dwFileAttributes, st.wYear, st.wMonth,
                     st.wDay, st.wHour, st.wMinute, st.wSecond);
      }
      std::fclose(f);
    }
  }
  return static_cast<int>(std::strtoul(code, nullptr, 0));
}
