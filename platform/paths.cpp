#include "platform/paths.h"

namespace {

bool IsDelimiter(char c, const PathRules& rules) { return c == rules.delimiter || (rules.driveColon && c == ':'); }

// True when the last byte of `path` is the delimiter standing as a character of its own,
// not as the trail byte of a double-byte character.
bool EndsInDelimiter(const std::string& path, const PathRules& rules) {
  if (path.empty() || path.back() != rules.delimiter) return false;
  size_t i = 0;
  while (i < path.size() - 1) i += IsLeadByte(static_cast<unsigned char>(path[i])) ? 2 : 1;
  return i == path.size() - 1;
}

// Index just past the last delimiter or drive colon, stepping over double-byte characters.
size_t ParentLength(const std::string& path, const PathRules& rules) {
  size_t end = 0;
  for (size_t i = 0; i < path.size();) {
    if (IsDelimiter(path[i], rules)) end = i + 1;
    i += IsLeadByte(static_cast<unsigned char>(path[i])) ? 2 : 1;
  }
  return end;
}

}  // namespace

std::string TrimControls(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

std::string WithTrailingDelimiter(const std::string& path, const PathRules& rules) {
  if (path.empty() || EndsInDelimiter(path, rules)) return path;
  return path + rules.delimiter;
}

std::string DirectoryPartOf(const std::string& path, const PathRules& rules) {
  size_t end = ParentLength(path, rules);
  if (end == 0) return std::string();
  // Drop the delimiter itself unless it follows a colon or another delimiter (a root).
  if (end >= 2 && path[end - 1] == rules.delimiter && !IsDelimiter(path[end - 2], rules)) --end;
  if (end == 1 && path[0] == rules.delimiter) return path.substr(0, 1);
  return path.substr(0, end);
}

std::string NamePartOf(const std::string& path, const PathRules& rules) {
  const size_t start = ParentLength(path, rules);
  return start >= path.size() ? std::string() : path.substr(start);
}

bool CreateDirTree(const std::string& path, FileSystem& fs, const PathRules& rules) {
  if (path.empty()) throw InOutError(kErrInvalidFilename, "Unable to create directory", std::string());
  std::string dir = path;
  if (EndsInDelimiter(dir, rules)) dir.pop_back();
  const std::string parent = dir.substr(0, ParentLength(dir, rules));
  if (dir.size() < rules.shortestPath || fs.DirExists(dir) || parent == dir) return true;
  if (!parent.empty() && !CreateDirTree(parent, fs, rules)) return false;
  return fs.CreateOneDirectory(dir) || fs.DirExists(dir);
}
