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
