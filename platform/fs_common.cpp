#include "fs.h"

#include <cstdio>

std::string InOutErrorText(int code) {
  switch (code) {
    case kErrFileNotFound: return "File not found";
    case kErrInvalidFilename: return "Invalid filename";
    case kErrTooManyOpenFiles: return "Too many open files";
    case kErrAccessDenied: return "File access denied";
    case kErrReadBeyondEnd: return "Read beyond end of file";
    case kErrDiskFull: return "Disk full";
    case 106: return "Invalid numeric input";
    default: {
      const std::string system = SystemErrorText(code);
      if (!system.empty()) return system;
      char text[32];
      std::snprintf(text, sizeof text, "I/O error %d", code);
      return text;
    }
  }
}

InOutError::InOutError(int code, const std::string& path)
    : std::runtime_error(path.empty() ? InOutErrorText(code) : InOutErrorText(code) + ": " + path),
      code_(code),
      path_(path) {}

InOutError::InOutError(int code, const std::string& text, const std::string& path)
    : std::runtime_error(path.empty() ? text : text + ": " + path), code_(code), path_(path) {}

void File::Read(void* buffer, int32_t count) {
  if (const int err = ReadAt(position_, buffer, count)) throw InOutError(err, path_);
  position_ += count;
}

void File::Write(const void* buffer, int32_t count) {
  if (const int err = WriteAt(position_, buffer, count)) throw InOutError(err, path_);
  position_ += count;
}

int64_t File::Size() {
  int64_t size = 0;
  if (const int err = GetSize(&size)) throw InOutError(err, path_);
  return size;
}

void File::CloseOrThrow() {
  if (const int err = Close()) throw InOutError(err, path_);
}

std::unique_ptr<File> FileSystem::OpenOrThrow(const std::string& path, OpenMode mode) {
  std::unique_ptr<File> file;
  if (const int err = Open(path, mode, &file)) throw InOutError(err, path);
  return file;
}

uint32_t DosDateTime(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1980) return (1u << 21) | (1u << 16);
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  const uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) | (static_cast<uint32_t>(month) << 5) |
                        static_cast<uint32_t>(day);
  const uint32_t time = (static_cast<uint32_t>(hour) << 11) | (static_cast<uint32_t>(minute) << 5) |
                        static_cast<uint32_t>(second / 2);
  return (date << 16) | time;
}
