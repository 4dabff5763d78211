// The file system as the builder sees it. One portable interface, one body per platform
// (fs_win32.cpp, fs_posix.cpp). Paths are in the platform's own form: ANSI text with "\"
// on Windows, UTF-8 with "/" on Linux. Names stored in a produced file are always the
// Windows form (ANSI code page text); the listing hands out both.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#ifdef _WIN32
constexpr char kPathDelimiter = '\\';
#else
constexpr char kPathDelimiter = '/';
#endif

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

// "File not found", "Disk full", ... or "I/O error %d".
std::string InOutErrorText(int code);

constexpr int kErrFileNotFound = 2;
constexpr int kErrInvalidFilename = 3;
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
  bool isDirectory = false;
  uint32_t attr = 0;       // Windows attribute bits
  int64_t size = 0;
  uint32_t dosTime = 0;    // local time, DOS date << 16 | DOS time
  FileIdentity identity;   // valid where the listing tells it (Linux); else open the file and ask
};

// Lists directory `dir` (which ends in a delimiter) in the platform's order, skipping ".",
// "..", volume labels and anything that is neither a file nor a directory. Returns false
// when the listing cannot be started. The listing is closed also when `visit` throws.
// A name that the stub would refuse to unpack throws std::runtime_error (on Linux also one
// that code page 1252 cannot hold).
bool ListDirectory(const std::string& dir, const std::function<void(const ListedEntry&)>& visit);

class File {
 public:
  static File OpenRead(const std::string& path);
  static File Create(const std::string& path);      // creates or truncates, for writing
  static File OpenAppend(const std::string& path);  // write-only, not truncated, positioned at the end
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  void Read(void* buffer, int32_t count);         // exactly count bytes, or InOutError 100 / system code
  void Write(const void* buffer, int32_t count);  // exactly count bytes, or InOutError 101 / system code
  int64_t Size() const;
  FileIdentity Identity() const;
  void Close();  // throws nothing; closing twice is harmless
  const std::string& path() const { return path_; }
  static File Adopt(intptr_t handle, const std::string& path);  // takes ownership of an open handle

 private:
  File(intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  intptr_t handle_;
  std::string path_;
};

bool DirExists(const std::string& path);
bool FileExists(const std::string& path);  // a file, not a directory
bool CreateOneDirectory(const std::string& path);
FileIdentity IdentityOfPath(const std::string& path);

// The first byte of a double-byte character in the system code page (never on Linux).
bool IsLeadByte(unsigned char c);
// Text in the form a produced file stores it: unchanged on Windows; on Linux UTF-8 turned
// into code page 1252 where it can be (left as it is where it cannot).
std::string StoredFormOf(const std::string& text);
// Locale-aware upper-casing of ANSI text (code page 1252 rules on Linux).
std::string UpperCaseAnsi(std::string text);
// True on the Windows NT platform family, and on Linux, where the builder's own resource
// writer is always there.
bool IsNtPlatform();
// 32 varying bits for seeding the payload identifier's generator.
uint32_t ClockSeed();
