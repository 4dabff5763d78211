// The file system on Linux: native UTF-8 paths with "/", names stored as code page 1252.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "container/stored_name.h"
#include "cp1252.h"
#include "fs.h"

namespace {

int ErrnoToWindowsCode(int err) {
  switch (err) {
    case ENOENT: case ENOTDIR: return kErrFileNotFound;
    case ENAMETOOLONG: case EINVAL: return kErrInvalidFilename;
    case EMFILE: case ENFILE: return 4;
    case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: return kErrAccessDenied;
    case ENOSPC: case EDQUOT: case EFBIG: return kErrDiskFull;
    default: return 1000 + err;
  }
}

[[noreturn]] void ThrowErrno(const std::string& path) { throw InOutError(ErrnoToWindowsCode(errno), path); }

// Local time as MS-DOS date and time, clamped to the years DOS can hold (1980..2107).
uint32_t DosTimeFromUnix(time_t t) {
  struct tm lt;
  if (!localtime_r(&t, &lt)) return (0u << 25) | (1u << 21) | (1u << 16);
  int year = lt.tm_year + 1900;
  if (year < 1980) return (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  const uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) | ((lt.tm_mon + 1) << 5) | lt.tm_mday;
  const uint32_t tod = (lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec / 2);
  return (date << 16) | tod;
}

std::string StoredNameOf(const std::string& dir, const char* name) {
  std::string stored;
  if (!Utf8ToCp1252(name, &stored))
    throw std::runtime_error("The name of " + dir + name + " cannot be stored: Windows code page 1252 cannot hold it");
  if (!IsStoredComponentAllowed(stored.data(), static_cast<int32_t>(stored.size()), nullptr))
    throw std::runtime_error("The name of " + dir + name +
                             " cannot be stored: Windows refuses it as a file name (a device name, a refused "
                             "character, or a dot or space at its end)");
  return stored;
}

}  // namespace

bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return false;
  while (dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // Asked relative to the open directory, so the kernel does not walk the whole path
    // again for every entry of a deep tree.
    const int at = dirfd(d.get());
    struct stat st;
    if (fstatat(at, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // Links to files are followed; links to directories are not, so the walk cannot loop.
    if (S_ISLNK(st.st_mode) && (fstatat(at, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    ListedEntry entry;
    entry.name = name;
    entry.storedName = StoredNameOf(dir, e->d_name);
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.attr = entry.isDirectory ? 0x10 : 0x20;
    if (!(st.st_mode & S_IWUSR)) entry.attr |= 0x01;
    if (name[0] == '.') entry.attr |= 0x02;
    entry.size = st.st_size;
    entry.dosTime = DosTimeFromUnix(st.st_mtime);
    entry.identity.volume = st.st_dev;
    entry.identity.index = st.st_ino;
    entry.identity.valid = true;
    visit(entry);
  }
  return true;
}

File File::OpenRead(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(path);
  return File(fd, path);
}

File File::Create(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777);
  if (fd < 0) ThrowErrno(path);
  return File(fd, path);
}

File File::OpenAppend(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(path);
  if (lseek(fd, 0, SEEK_END) < 0) {
    const int err = errno;
    close(fd);
    errno = err;
    ThrowErrno(path);
  }
  return File(fd, path);
}

void File::Read(void* buffer, int32_t count) {
  char* p = static_cast<char*>(buffer);
  while (count > 0) {
    const ssize_t n = read(static_cast<int>(handle_), p, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno(path_);
    if (n == 0) throw InOutError(kErrReadBeyondEnd, path_);
    p += n;
    count -= static_cast<int32_t>(n);
  }
}

void File::Write(const void* buffer, int32_t count) {
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t n = write(static_cast<int>(handle_), p, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno(path_);
    if (n == 0) throw InOutError(kErrDiskFull, path_);
    p += n;
    count -= static_cast<int32_t>(n);
  }
}

int64_t File::Size() const {
  struct stat st;
  if (fstat(static_cast<int>(handle_), &st) != 0) ThrowErrno(path_);
  return st.st_size;
}

FileIdentity File::Identity() const {
  FileIdentity id;
  struct stat st;
  if (fstat(static_cast<int>(handle_), &st) == 0) {
    id.volume = st.st_dev;
    id.index = st.st_ino;
    id.valid = true;
  }
  return id;
}

void File::Close() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
}

bool DirExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CreateOneDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

FileIdentity IdentityOfPath(const std::string& path) {
  FileIdentity id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    id.volume = st.st_dev;
    id.index = st.st_ino;
    id.valid = true;
  }
  return id;
}

bool IsLeadByte(unsigned char) { return false; }

std::string UpperCaseAnsi(std::string text) { return Cp1252Upper(std::move(text)); }

bool IsNtPlatform() { return true; }

uint32_t ClockSeed() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec * 1000000007u);
}

File File::Adopt(intptr_t handle, const std::string& path) { return File(handle, path); }

std::string StoredFormOf(const std::string& text) {
  std::string stored;
  return Utf8ToCp1252(text, &stored) ? stored : text;
}
