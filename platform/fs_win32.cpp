// The file system on Windows: ANSI paths with "\", reached with the system's UTF-16
// functions, so that a name outside the code page is seen as it is instead of as its
// best-fit look-alike, which would name another file or none.
#include <windows.h>

#include "platform/fs.h"
#include "shared/u_shared.h"

namespace {

// UTF-16 text in std::u16string: std::wstring would bring its whole compiled library along.
const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string Wide(const std::string& ansi) {
  std::u16string wide(ansi.size() + 1, u'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                    reinterpret_cast<wchar_t*>(&wide[0]), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? n : 0);
  return wide;
}

// The text in the ANSI code page; false when a character has no exact form there (it then
// stands as the code page's default character, never as a look-alike).
bool ToAnsi(const wchar_t* text, int length, std::string* ansi) {
  ansi->clear();
  if (length == 0) return true;
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, nullptr, 0, nullptr, &usedDefault);
  ansi->resize(n > 0 ? n : 0);
  if (n > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, &(*ansi)[0], n, nullptr, &usedDefault);
  return n > 0 && !usedDefault;
}

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

  int SetTime(uint32_t dosTime) override {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(static_cast<WORD>(dosTime >> 16), static_cast<WORD>(dosTime), &local) ||
        !LocalFileTimeToFileTime(&local, &utc) || !SetFileTime(handle_, nullptr, nullptr, &utc))
      return LastErrorCode();
    return kErrNone;
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

std::string Utf8Of(const wchar_t* name) {
  const int length = lstrlenW(name);
  std::string utf8(static_cast<size_t>(length) * 3, '\0');
  const int m = WideCharToMultiByte(CP_UTF8, 0, name, length, &utf8[0], static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(m > 0 ? m : 0);
  return utf8;
}

class Win32FileSystem : public FileSystem {
 public:
  bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) override {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(W(Wide(dir + "*.*")), &fd);
    if (find == INVALID_HANDLE_VALUE) return false;
    struct Closer {
      HANDLE h;
      ~Closer() { FindClose(h); }
    } closer{find};
    do {
      const wchar_t* name = fd.cFileName;
      if ((fd.dwFileAttributes & kAttrVolumeLabel) || (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))))
        continue;
      ListedEntry entry;
      entry.convertible = ToAnsi(name, lstrlenW(name), &entry.name);
      entry.storedName = entry.name;
      // The builder reaches files by their code-page path, so a name that the code page
      // cannot hold has no UTF-8 form here either: it is refused, naming the code page.
      if (entry.convertible) entry.utf8Name = Utf8Of(name);
      entry.isDirectory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.attr = fd.dwFileAttributes;
      entry.size = (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
      entry.dosTime = DosTimeOf(fd.ftLastWriteTime);
      visit(entry);
    } while (FindNextFileW(find, &fd));
    return true;
  }

  bool DirExists(const std::string& path) override {
    const DWORD attr = GetFileAttributesW(W(Wide(path)));
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool FileExists(const std::string& path) override {
    const DWORD attr = GetFileAttributesW(W(Wide(path)));
    return !path.empty() && attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool CreateOneDirectory(const std::string& path) override { return CreateDirectoryW(W(Wide(path)), nullptr) != 0; }

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    const DWORD access = mode == OpenMode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    if (mode == OpenMode::CreateNoLink && IsLink(path)) return kErrAccessDenied;
    const bool create = mode == OpenMode::Create || mode == OpenMode::CreateNoLink;
    const DWORD disposition = create ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE h = CreateFileW(W(Wide(path)), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastErrorCode();
    file->reset(new Win32File(h, path));
    return kErrNone;
  }

  // Fails, and leaves both files alone, when the target is in use (a running program).
  int Rename(const std::string& from, const std::string& to) override {
    return MoveFileExW(W(Wide(from)), W(Wide(to)), MOVEFILE_REPLACE_EXISTING) ? kErrNone : LastErrorCode();
  }

  int Remove(const std::string& path) override { return DeleteFileW(W(Wide(path))) ? kErrNone : LastErrorCode(); }

  bool IsLink(const std::string& path) override {
    const DWORD attr = GetFileAttributesW(W(Wide(path)));
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT);
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

uint32_t DosTimeOfUnixTime(int64_t seconds) {
  const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000u;  // from 1601, in 100 ns
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(ticks);
  utc.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return DosTimeOf(utc);
}

uint32_t ClockSeed() {
  LARGE_INTEGER counter;
  if (QueryPerformanceCounter(&counter)) return static_cast<uint32_t>(counter.LowPart);
  return GetTickCount();
}

std::string StoredFormOf(const std::string& text) { return text; }

unsigned AnsiCodePage() { return GetACP(); }

std::string PathFromSystemText(const std::u16string& text) {
  std::string ansi;
  if (ToAnsi(W(text), static_cast<int>(text.size()), &ansi)) return ansi;
  // The short form where the volume keeps one: of the whole path, or of its folder when the
  // file is still to be made.
  std::u16string shortPath(32768, u'\0');
  wchar_t* out = reinterpret_cast<wchar_t*>(&shortPath[0]);
  DWORD n = GetShortPathNameW(W(text), out, 32768);
  std::u16string tail;
  const size_t cut = text.find_last_of(u"\\/");
  if ((n == 0 || n >= 32768) && cut != std::u16string::npos && cut > 0) {
    n = GetShortPathNameW(W(text.substr(0, cut)), out, 32768);
    tail = text.substr(cut);
  }
  std::string shortAnsi;
  if (n > 0 && n < 32768) {
    shortPath.resize(n);
    shortPath += tail;
    if (ToAnsi(W(shortPath), static_cast<int>(shortPath.size()), &shortAnsi)) return shortAnsi;
  }
  return ansi;  // with the default character where the code page has none: names no file
}
