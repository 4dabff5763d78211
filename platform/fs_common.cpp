#include "fs.h"

#include <cstdio>

std::string InOutErrorText(int code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
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

File::File(File&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = -1;
  }
  return *this;
}

File::~File() { Close(); }
