// The file system on Windows: ANSI paths with "\", listed with FindFirstFileA.
#include <windows.h>

#include "container/stored_name.h"
#include "fs.h"

namespace {

[[noreturn]] void ThrowLastError(const std::string& path) {
  DWORD code = GetLastError();
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) code = kErrDiskFull;
  throw InOutError(static_cast<int>(code), path);
}

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

uint32_t DosTimeOf(const FILETIME& utc) {
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return 0;
  return (static_cast<uint32_t>(date) << 16) | time;
}

File OpenWith(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLastError(path);
  return File::Adopt(reinterpret_cast<intptr_t>(h), path);
}

}  // namespace

bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) {
  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA((dir + "*.*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return false;
  struct Closer {
    HANDLE h;
    ~Closer() { FindClose(h); }
  } closer{find};
  do {
    const std::string name = fd.cFileName;
    if ((fd.dwFileAttributes & 0x08) || name == "." || name == "..") continue;
    ListedEntry entry;
    entry.name = name;
    // Such names reach a Windows folder only through paths that bypass the usual checks.
    if (!IsStoredComponentAllowed(name.data(), static_cast<int32_t>(name.size()), IsLeadByte))
      throw std::runtime_error("The name of " + dir + name +
                               " cannot be stored: Windows refuses it as a file name (a device name, a refused "
                               "character, or a dot or space at its end)");
    entry.storedName = name;
    entry.isDirectory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.attr = fd.dwFileAttributes;
    entry.size = (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    entry.dosTime = DosTimeOf(fd.ftLastWriteTime);
    visit(entry);
  } while (FindNextFileA(find, &fd));
  return true;
}

File File::Adopt(intptr_t handle, const std::string& path) { return File(handle, path); }

File File::OpenRead(const std::string& path) { return OpenWith(path, GENERIC_READ, OPEN_EXISTING); }

File File::Create(const std::string& path) { return OpenWith(path, GENERIC_WRITE, CREATE_ALWAYS); }

File File::OpenAppend(const std::string& path) {
  File f = OpenWith(path, GENERIC_WRITE, OPEN_EXISTING);
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(H(f.handle_), zero, nullptr, FILE_END)) ThrowLastError(path);
  return f;
}

void File::Read(void* buffer, int32_t count) {
  char* p = static_cast<char*>(buffer);
  while (count > 0) {
    DWORD got = 0;
    if (!ReadFile(H(handle_), p, static_cast<DWORD>(count), &got, nullptr)) ThrowLastError(path_);
    if (got == 0) throw InOutError(kErrReadBeyondEnd, path_);
    p += got;
    count -= static_cast<int32_t>(got);
  }
}

void File::Write(const void* buffer, int32_t count) {
  DWORD put = 0;
  if (!WriteFile(H(handle_), buffer, static_cast<DWORD>(count), &put, nullptr)) ThrowLastError(path_);
  if (put != static_cast<DWORD>(count)) throw InOutError(kErrDiskFull, path_);
}

int64_t File::Size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(handle_), &size)) ThrowLastError(path_);
  return size.QuadPart;
}

FileIdentity File::Identity() const {
  FileIdentity id;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(H(handle_), &info)) {
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.valid = true;
  }
  return id;
}

void File::Close() {
  if (handle_ != -1 && handle_ != 0) CloseHandle(H(handle_));
  handle_ = -1;
}

bool DirExists(const std::string& path) {
  const DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::string& path) {
  const DWORD attr = GetFileAttributesA(path.c_str());
  return !path.empty() && attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateOneDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

FileIdentity IdentityOfPath(const std::string& path) {
  FileIdentity id;
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return id;
  id = File::Adopt(reinterpret_cast<intptr_t>(h), path).Identity();
  return id;
}

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
