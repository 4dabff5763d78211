// A program for a produced file to launch: records how it was started (its parameters as
// the C runtime splits them, in UTF-8, and its working directory) in the file named by
// KESDRA_PROBE_OUT, and ends with the exit code in KESDRA_PROBE_EXIT, after KESDRA_PROBE_SLEEP
// milliseconds. With KESDRA_PROBE_ATTR it also records that file's attributes, local
// last-write time and first line, which only a launched program can see: the stub deletes
// the folder once the program has ended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The text in UTF-8, in one of two buffers that take turns.
const char* Utf8(const wchar_t* text) {
  static char buffers[2][4 * MAX_PATH + 4];
  static int turn = 0;
  char* out = buffers[turn ^= 1];
  if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof buffers[0], nullptr, nullptr)) out[0] = 0;
  return out;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  char out[MAX_PATH + 1] = {};
  char code[32] = {};
  char sleep[32] = {};
  GetEnvironmentVariableA("KESDRA_PROBE_OUT", out, sizeof out);
  GetEnvironmentVariableA("KESDRA_PROBE_EXIT", code, sizeof code);
  if (GetEnvironmentVariableA("KESDRA_PROBE_SLEEP", sleep, sizeof sleep)) Sleep(std::strtoul(sleep, nullptr, 0));
  wchar_t cwd[MAX_PATH + 1] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  wchar_t self[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (out[0]) {
    FILE* f = std::fopen(out, "wb");
    if (f) {
      // The stub takes its progress window down before it starts this program.
      const bool stubWindow = FindWindowA("tarvexwindowclass", nullptr) != nullptr;
      std::fprintf(f, "cwd=%s\nself=%s\nwindow=%d\nargc=%d\n", Utf8(cwd), Utf8(self), stubWindow ? 1 : 0,
                   argc - 1);
      for (int i = 1; i < argc; ++i) std::fprintf(f, "arg=%s\n", Utf8(argv[i]));
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
        char line[256] = {};
        if (FILE* in = std::fopen(attrOf, "rb")) {
          std::fgets(line, sizeof line, in);
          std::fclose(in);
        }
        std::fprintf(f, "data=%s\n", line);
      }
      std::fclose(f);
    }
  }
  return static_cast<int>(std::strtoul(code, nullptr, 0));
}
