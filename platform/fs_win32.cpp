// The file system on Windows: ANSI paths with "\", listed with FindFirstFileA.
#include <windows.h>

#include "platform/fs.h"
#include "shared/u_shared.h"

namespace {

int LastErrorCode() {
  const DWORD code = GetLastError();
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) return kErrDiskFull;
  return static_cast<int>(code);
}

uint32_t DosTimeOf(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME t;
  // Only times near the end of what FILETIME holds fail to convert.
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) return DosDateTime(9999, 1, 1, 0, 0, 0);
  return DosDateTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return at;
}

// One call moves at most this much, so a count never has to be cut down to a DWORD.
constexpr int64_t kLargestTransfer = 1 << 30;

class Win32File : public File {
 public:
  Win32File(HANDLE handle, const std::string& path) : File(path), handle_(handle) {}
  ~Win32File() override { Close(); }

  int ReadAt(int64_t offset, void* buffer, int64_t count) override {
    char* p = static_cast<char*>(buffer);
    while (count > 0) {
      OVERLAPPED at = At(offset);
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(count < kLargestTransfer ? count : kLargestTransfer);
      if (!ReadFile(handle_, p, want, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? kErrReadBeyondEnd : LastErrorCode();
      if (got == 0) return kErrReadBeyondEnd;
      p += got;
      offset += got;
      count -= got;
    }
    return kErrNone;
  }

  int WriteAt(int64_t offset, const void* buffer, int64_t count) override {
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
      OVERLAPPED at = At(offset);
      DWORD put = 0;
      const DWORD want = static_cast<DWORD>(count < kLargestTransfer ? count : kLargestTransfer);
      if (!WriteFile(handle_, p, want, &put, &at)) return LastErrorCode();
      if (put == 0) return kErrDiskFull;
      p += put;
      offset += put;
      count -= put;
    }
    return kErrNone;
  }

  int GetSize(int64_t* size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle_, &value)) return LastErrorCode();
    *size = value.QuadPart;
    return kErrNone;
  }

  int Truncate(int64_t size) override {
    LARGE_INTEGER to;
    to.QuadPart = size;
    if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) return LastErrorCode();
    return kErrNone;
  }

  FileIdentity Identity() override {
    FileIdentity id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle_, &info)) {
      id.volume = info.dwVolumeSerialNumber;
      id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
      id.valid = true;
    }
    return id;
  }

  int Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return kErrNone;
    const int result = CloseHandle(handle_) ? kErrNone : LastErrorCode();
    handle_ = INVALID_HANDLE_VALUE;
    return result;
  }

 private:
  HANDLE handle_;
};

// Through UTF-16, as Windows itself reads an ANSI name.
std::string AnsiToUtf8(const std::string& ansi) {
  std::vector<wchar_t> wide(ansi.size() + 1);
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                                    static_cast<int>(wide.size()));
  std::string utf8(static_cast<size_t>(n) * 3, '\0');
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &utf8[0], static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(m > 0 ? m : 0);
  return utf8;
}

class Win32FileSystem : public FileSystem {
 public:
  bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) override {
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((dir + "*.*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return false;
    struct Closer {
      HANDLE h;
      ~Closer() { FindClose(h); }
    } closer{find};
    do {
      const std::string name = fd.cFileName;
      if ((fd.dwFileAttributes & kAttrVolumeLabel) || name == "." || name == "..") continue;
      ListedEntry entry;
      entry.name = name;
      entry.storedName = name;
      entry.utf8Name = AnsiToUtf8(name);
      entry.isDirectory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.attr = fd.dwFileAttributes;
      entry.size = (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
      entry.dosTime = DosTimeOf(fd.ftLastWriteTime);
      visit(entry);
    } while (FindNextFileA(find, &fd));
    return true;
  }

  bool DirExists(const std::string& path) override {
    const DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool FileExists(const std::string& path) override {
    const DWORD attr = GetFileAttributesA(path.c_str());
    return !path.empty() && attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool CreateOneDirectory(const std::string& path) override { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    const DWORD access = mode == OpenMode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = mode == OpenMode::Create ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastErrorCode();
    file->reset(new Win32File(h, path));
    return kErrNone;
  }
};

}  // namespace

const PathRules& kNativePathRules = kWindowsPathRules;

FileSystem& NativeFileSystem() {
  static Win32FileSystem fs;
  return fs;
}

// Windows keeps the runtime's "I/O error %d" for codes outside its table.
std::string SystemErrorText(int) { return std::string(); }

bool IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != 0; }

std::string UpperCaseAnsi(std::string text) {
  if (!text.empty()) CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

bool IsNtPlatform() {
  // GetVersion's top bit is clear on the NT family.
  return (GetVersion() & 0x80000000u) == 0;
}

uint32_t ClockSeed() {
  LARGE_INTEGER counter;
  if (QueryPerformanceCounter(&counter)) return static_cast<uint32_t>(counter.LowPart);
  return GetTickCount();
}

std::string StoredFormOf(const std::string& text) { return text; }
