#include "ui_text.h"

std::string WithFullStop(const std::string& message) {
  if (message.empty() || static_cast<unsigned char>(message.back()) <= '.') return message;
  return message + '.';
}

std::string MajorMinorVersion(const std::string& version) {
  const size_t first = version.find('.');
  if (first == std::string::npos) return version;
  const size_t second = version.find('.', first + 1);
  return second == std::string::npos ? version : version.substr(0, second);
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

