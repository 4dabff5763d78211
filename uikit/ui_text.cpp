#include "ui_text.h"

#include "platform/fs.h"
#include "uikit/u_paths.h"

std::string WithFullStop(const std::string& message) {
  if (message.empty() || static_cast<unsigned char>(message.back()) <= '.') return message;
  return message + '.';
}

std::string CaptionWithVersion(const std::string& caption, const std::string& fileVersion) {
  return caption + ' ' + MajorMinorVersion(fileVersion);
}

std::string JoinedCaption(const std::string& mainCaption, const std::string& ownCaption) {
  return mainCaption + " - " + ownCaption;
}

std::string VersionLine(const std::string& versionWord, const std::string& fileVersion) {
  if (fileVersion.empty()) return std::string();
  return versionWord + ' ' + fileVersion;
}

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool IsValidDate(int year, int month, int day) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const int last = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  return day <= last;
}

}  // namespace

int CopyrightYear(bool fileTimeKnown, int fileYear, int fileMonth, int fileDay, int currentYear) {
  return fileTimeKnown && IsValidDate(fileYear, fileMonth, fileDay) ? fileYear : currentYear;
}

std::string CopyrightText(const std::string& copyrightLine, int year) {
  return copyrightLine + ' ' + std::to_string(year);
}

std::string NamePartOf(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size();) {
    if (path[i] == '\\' || path[i] == ':') start = i + 1;
    i += IsLeadByte(static_cast<unsigned char>(path[i])) ? 2 : 1;
  }
  return start >= path.size() ? std::string() : path.substr(start);
}
