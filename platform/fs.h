// The file system as the builder and its tools see it. One portable interface, one body per
// platform (fs_win32.cpp, fs_posix.cpp). Paths are in the platform's own form: ANSI text with
// "\" on Windows, UTF-8 with "/" on Linux. Names stored in a produced file are always the
// Windows form (ANSI code page text); the listing hands out both.
//
// Two ways to fail, one set of codes: the primitives of File and FileSystem return 0 or an
// error code (a system code, or 100 and up for the runtime's own), for the bool-and-text
// style of pe/ and the tools; the builder's sequential helpers throw InOutError with it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// How paths are spelled. The rules of both systems exist everywhere, so either can be
// tested anywhere; the platform body picks the native one.
struct PathRules {
  char delimiter;       // between components
  bool driveColon;      // "C:" ends a directory part like a delimiter does
  size_t shortestPath;  // a directory this short or shorter is a root ("C:\", "/")
  size_t longestPath;   // characters a path may have; 0: no limit of its own
};
constexpr PathRules kWindowsPathRules{'\\', true, 3, 259};
constexpr PathRules kPosixPathRules{'/', false, 1, 0};
extern const PathRules& kNativePathRules;

// The runtime's input/output error: a fixed text per code (system error codes, or 100 and
// up for the runtime's own), followed by the path it concerns.
class InOutError : public std::runtime_error {
 public:
  InOutError(int code, const std::string& path);
  // A failure whose text is not the code's standard one.
  InOutError(int code, const std::string& text, const std::string& path);
  int code() const { return code_; }
  const std::string& path() const { return path_; }

 private:
  int code_;
  std::string path_;
};

// "File not found", "Disk full", ... or, for any other code, the system's own text for it,
// or "I/O error %d" where the system has none.
std::string InOutErrorText(int code);
// The platform body's text for a code outside the runtime's table; empty when it has none.
std::string SystemErrorText(int code);

constexpr int kErrNone = 0;
constexpr int kErrFileNotFound = 2;
constexpr int kErrInvalidFilename = 3;
constexpr int kErrTooManyOpenFiles = 4;
constexpr int kErrAccessDenied = 5;
constexpr int kErrReadBeyondEnd = 100;
constexpr int kErrDiskFull = 101;

// Which file a path or handle leads to, whatever its spelling.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool valid = false;
  bool operator==(const FileIdentity& o) const { return valid && o.valid && volume == o.volume && index == o.index; }
};

struct ListedEntry {
  std::string name;        // as the platform lists it, for building paths
  std::string storedName;  // the name as a produced file stores it (Windows ANSI text)
  bool convertible = true; // false: the stored form cannot hold this name (Linux: outside code page 1252)
  std::string utf8Name;    // the name in UTF-8, as compressed payloads store it
  bool isDirectory = false;
  // Why this entry can become neither a file nor a folder ("is a FIFO", "is a link that leads
  // nowhere", ...); empty for a file or a folder. Linux lists such entries so that a build can
  // refuse them by name instead of leaving them out.
  std::string unusable;
  uint32_t attr = 0;       // Windows attribute bits (kAttr* in shared/u_shared.h)
  int64_t size = 0;
  uint32_t dosTime = 0;    // local time, DOS date << 16 | DOS time
  FileIdentity identity;   // valid where the listing tells it (Linux); else open the file and ask
};

// An open file. Reads and writes are positioned, so one handle serves a reader that jumps
// about (the PE parser) as well as a writer that goes front to back (the build).
class File {
 public:
  explicit File(std::string path) : path_(std::move(path)) {}
  virtual ~File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Exactly `count` bytes, or an error code: 100 when the file ends first.
  virtual int ReadAt(int64_t offset, void* buffer, int64_t count) = 0;
  // Exactly `count` bytes, or an error code: 101 when the disk takes no more.
  virtual int WriteAt(int64_t offset, const void* buffer, int64_t count) = 0;
  virtual int GetSize(int64_t* size) = 0;
  virtual int Truncate(int64_t size) = 0;
  virtual FileIdentity Identity() = 0;
  // Sets the time of last change to `dosTime` (local time, as stored in a produced file).
  virtual int SetTime(uint32_t /*dosTime*/) { return kErrAccessDenied; }
  // Closing twice is harmless; a failure to close is reported like a failed write.
  virtual int Close() = 0;

  const std::string& path() const { return path_; }

  // The builder's sequential style: from a position that each call moves on; failures are
  // thrown as InOutError with this file's path.
  void Read(void* buffer, int32_t count);
  void Write(const void* buffer, int32_t count);
  int64_t Size();
  void SeekToEnd() { position_ = Size(); }
  int64_t position() const { return position_; }
  void CloseOrThrow();

 private:
  std::string path_;
  int64_t position_ = 0;
};

enum class OpenMode {
  Read,    // an existing file, read-only
  Create,  // created or truncated, read and write
  Update,  // an existing file, read and write, not truncated
  CreateNoLink,  // as Create, but a link at the path is refused (kErrAccessDenied), never followed
};

// The disk as the build reaches it, so that a build can run against a file system that
// fails on purpose, or that lives in memory.
// The defaults of the optional members refuse, so a fake disk that lacks them fails loudly.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Lists directory `dir` (which ends in a delimiter), skipping ".", ".." and volume labels.
  // Links are followed (to files and folders); what is neither a file nor a folder comes
  // with `unusable` set. False when the listing cannot be started. The listing is closed also when `visit` throws. Entries come in the order
  // Windows lists a folder (Linux sorts them so).
  virtual bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit) = 0;
  virtual bool DirExists(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;  // a file, not a directory
  virtual bool CreateOneDirectory(const std::string& path) = 0;
  // 0 and the open file, or an error code.
  virtual int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) = 0;
  // Puts `from` in place of `to` in one step, replacing a file that is there. 0 or an error code.
  virtual int Rename(const std::string& /*from*/, const std::string& /*to*/) { return kErrAccessDenied; }
  // Deletes a file. 0 or an error code.
  virtual int Remove(const std::string& /*path*/) { return kErrAccessDenied; }
  // True when `path` itself is a symbolic link or another kind of link (not following it).
  virtual bool IsLink(const std::string& /*path*/) { return false; }

  std::unique_ptr<File> OpenOrThrow(const std::string& path, OpenMode mode);
};

// The real disk.
FileSystem& NativeFileSystem();

// Local date and time packed as MS-DOS does (date << 16 | time, seconds halved). Dates before
// 1980 are stored as 1980-01-01 00:00:00 and dates after 2107 as 2107-12-31 23:59:58, the
// ends of what the format can hold, by both builders alike.
uint32_t DosDateTime(int year, int month, int day, int hour, int minute, int second);

// The first byte of a double-byte character in the system code page (never on Linux).
bool IsLeadByte(unsigned char c);
// Text in the form a produced file stores it: unchanged on Windows; on Linux UTF-8 turned
// into code page 1252 where it can be (left as it is where it cannot).
std::string StoredFormOf(const std::string& text);
// The code page of the stored names: the system's ANSI code page on Windows, 1252 on Linux.
unsigned AnsiCodePage();
// Windows only: the system's UTF-16 text of a path (a command-line argument) as an ANSI path
// that names the same file: the text itself where the code page holds every character, else
// its short form where the volume keeps one; otherwise with the code page's default
// character in place of what it cannot hold, never a best-fit look-alike.
std::string PathFromSystemText(const std::u16string& text);
// Locale-aware upper-casing of ANSI text (code page 1252 rules on Linux).
std::string UpperCaseAnsi(std::string text);
// True on the Windows NT platform family, and on Linux, where the builder's own resource
// writer is always there.
bool IsNtPlatform();
// A moment given in seconds since 1970-01-01 UTC, as the listing would store a file of that
// time: local time with the offset from UTC in force now, packed as MS-DOS does.
uint32_t DosTimeOfUnixTime(int64_t seconds);
// 32 varying bits for seeding the payload identifier's generator.
uint32_t ClockSeed();
