// The file system on Linux: native UTF-8 paths with "/", names stored as code page 1252.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/cp1252.h"
#include "platform/fs.h"
#include "shared/u_shared.h"

namespace {

// Codes the runtime's table does not name carry the errno above this base, so that the
// message can give the system's own text for it.
constexpr int kErrnoBase = 1000;

int ErrnoToWindowsCode(int err) {
  switch (err) {
    case ENOENT: case ENOTDIR: return kErrFileNotFound;
    case ENAMETOOLONG: case EINVAL: return kErrInvalidFilename;
    case EMFILE: case ENFILE: return 4;
    case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: return kErrAccessDenied;
    case ENOSPC: case EDQUOT: case EFBIG: return kErrDiskFull;
    default: return kErrnoBase + err;
  }
}

FileIdentity IdentityOf(const struct stat& st) {
  FileIdentity id;
  id.volume = st.st_dev;
  id.index = st.st_ino;
  id.valid = true;
  return id;
}

// The file's time in local time as Windows gives it: shifted by the offset from UTC in force
// now, not by the one in force at the file's date, so that a build on Linux stores what a
// build on Windows stores, and the stub's conversion back gives the file its time again.
long UtcOffsetNow() {
  const time_t now = time(nullptr);
  struct tm local;
  return localtime_r(&now, &local) ? local.tm_gmtoff : 0L;
}

// The way back, with the same offset: what the stub gives a file on Windows.
time_t UnixTimeOfDos(uint32_t t) {
  struct tm tm = {};
  tm.tm_year = 80 + static_cast<int>(t >> 25);
  tm.tm_mon = static_cast<int>((t >> 21) & 15) - 1;
  tm.tm_mday = static_cast<int>((t >> 16) & 31);
  tm.tm_hour = static_cast<int>((t >> 11) & 31);
  tm.tm_min = static_cast<int>((t >> 5) & 63);
  tm.tm_sec = static_cast<int>(t & 31) * 2;
  return timegm(&tm) - UtcOffsetNow();
}

uint32_t DosTimeFromUnix(time_t t, long utcOffset) {
  const time_t shifted = t + utcOffset;
  struct tm lt;
  if (!gmtime_r(&shifted, &lt)) return DosDateTime(t < 0 ? 1970 : 9999, 1, 1, 0, 0, 0);
  return DosDateTime(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
}

bool ListPosixDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return false;
  std::vector<ListedEntry> entries;
  std::vector<std::u16string> keys;
  const long utcOffset = UtcOffsetNow();
  while (dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // Asked relative to the open directory, so the kernel does not walk the whole path
    // again for every entry of a deep tree.
    const int at = dirfd(d.get());
    struct stat st;
    if (fstatat(at, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // Links are followed to files and to folders, as Windows' listing descends into linked
    // folders; the tree walk guards against loops. What cannot become a file is handed on,
    // marked, so that the build can name it.
    std::string unusable;
    if (S_ISLNK(st.st_mode) && fstatat(at, e->d_name, &st, 0) != 0)
      unusable = errno == ELOOP ? "is a link that leads back to itself" : "is a link that leads nowhere";
    else if (S_ISFIFO(st.st_mode))
      unusable = "is a FIFO";
    else if (S_ISSOCK(st.st_mode))
      unusable = "is a socket";
    else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
      unusable = "is a device";
    ListedEntry entry;
    entry.name = name;
    entry.utf8Name = name;
    entry.convertible = Utf8ToCp1252(name, &entry.storedName);
    if (!entry.convertible) entry.storedName = name;
    entry.unusable = unusable;
    entry.isDirectory = unusable.empty() && S_ISDIR(st.st_mode);
    entry.attr = entry.isDirectory ? kAttrDirectory : kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) entry.attr |= kAttrReadOnly;
    if (name[0] == '.') entry.attr |= kAttrHidden;
    entry.size = unusable.empty() ? st.st_size : 0;
    entry.dosTime = DosTimeFromUnix(st.st_mtime, utcOffset);
    entry.identity = IdentityOf(st);
    entries.push_back(std::move(entry));
  }
  d.reset();
  // In the order Windows lists a folder, so that both builders give the same file.
  std::vector<size_t> order(entries.size());
  keys.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) order[i] = i, keys.push_back(NtfsOrderKey(entries[i].storedName));
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return keys[a] != keys[b] ? keys[a] < keys[b] : entries[a].name < entries[b].name;
  });
  for (size_t i : order) visit(entries[i]);
  return true;
}

class PosixFile : public File {
 public:
  PosixFile(int fd, const std::string& path) : File(path), fd_(fd) {}
  ~PosixFile() override { Close(); }

  int ReadAt(int64_t offset, void* buffer, int64_t count) override {
    char* p = static_cast<char*>(buffer);
    while (count > 0) {
      const ssize_t n = pread(fd_, p, static_cast<size_t>(count), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ErrnoToWindowsCode(errno);
      if (n == 0) return kErrReadBeyondEnd;
      p += n;
      offset += n;
      count -= n;
    }
    return kErrNone;
  }

  int WriteAt(int64_t offset, const void* buffer, int64_t count) override {
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
      const ssize_t n = pwrite(fd_, p, static_cast<size_t>(count), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ErrnoToWindowsCode(errno);
      if (n == 0) return kErrDiskFull;
      p += n;
      offset += n;
      count -= n;
    }
    return kErrNone;
  }

  int GetSize(int64_t* size) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return ErrnoToWindowsCode(errno);
    *size = st.st_size;
    return kErrNone;
  }

  int Truncate(int64_t size) override {
    return ftruncate(fd_, static_cast<off_t>(size)) == 0 ? kErrNone : ErrnoToWindowsCode(errno);
  }

  FileIdentity Identity() override {
    FileIdentity id;
    struct stat st;
    if (fstat(fd_, &st) == 0) id = IdentityOf(st);
    return id;
  }

  int SetTime(uint32_t dosTime) override {
    const struct timespec when = {UnixTimeOfDos(dosTime), 0};
    const struct timespec times[2] = {when, when};
    return futimens(fd_, times) == 0 ? kErrNone : ErrnoToWindowsCode(errno);
  }

  int Close() override {
    if (fd_ < 0) return kErrNone;
    const int result = close(fd_) == 0 ? kErrNone : ErrnoToWindowsCode(errno);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) override {
    return ListPosixDirectory(dir, visit);
  }

  bool DirExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  bool CreateOneDirectory(const std::string& path) override { return mkdir(path.c_str(), 0777) == 0; }

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    int flags = mode == OpenMode::Read ? O_RDONLY : mode == OpenMode::Update ? O_RDWR : O_RDWR | O_CREAT | O_TRUNC;
    if (mode == OpenMode::CreateNoLink) flags |= O_NOFOLLOW;
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0777);
    if (fd < 0) return mode == OpenMode::CreateNoLink && errno == ELOOP ? kErrAccessDenied : ErrnoToWindowsCode(errno);
    file->reset(new PosixFile(fd, path));
    return kErrNone;
  }

  int Rename(const std::string& from, const std::string& to) override {
    return rename(from.c_str(), to.c_str()) == 0 ? kErrNone : ErrnoToWindowsCode(errno);
  }

  int Remove(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? kErrNone : ErrnoToWindowsCode(errno);
  }

  bool IsLink(const std::string& path) override {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
};

}  // namespace

const PathRules& kNativePathRules = kPosixPathRules;

FileSystem& NativeFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

std::string SystemErrorText(int code) { return code > kErrnoBase ? std::strerror(code - kErrnoBase) : std::string(); }

bool IsLeadByte(unsigned char) { return false; }

std::string UpperCaseAnsi(std::string text) { return Cp1252Upper(std::move(text)); }

bool IsNtPlatform() { return true; }

uint32_t DosTimeOfUnixTime(int64_t seconds) { return DosTimeFromUnix(static_cast<time_t>(seconds), UtcOffsetNow()); }

uint32_t ClockSeed() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec * 1000000007u);
}

std::string StoredFormOf(const std::string& text) {
  std::string stored;
  return Utf8ToCp1252(text, &stored) ? stored : text;
}
