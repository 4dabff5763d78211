// The path operations of the builder and its windows, on PathRules (platform/fs.h). Portable:
// the rules default to the platform's ("\" and drive letters on Windows, "/" on Linux), and
// either system's can be tested anywhere.
#pragma once

#include <string>

#include "platform/fs.h"

// Removes leading and trailing characters with codes 0..32.
std::string TrimControls(const std::string& text);
// Appends the path delimiter unless the path is empty or already ends in a single-byte one.
std::string WithTrailingDelimiter(const std::string& path, const PathRules& rules = kNativePathRules);
// The directory that holds `path`: everything before its last delimiter (or drive colon),
// keeping the delimiter when it directly follows a colon or another delimiter (C:\out.exe
// gives C:\). Empty when the path has no directory part.
std::string DirectoryPartOf(const std::string& path, const PathRules& rules = kNativePathRules);
// The name part of a path: everything after its last delimiter or drive colon, stepping over
// double-byte characters so that a trail byte equal to the delimiter is not taken for one.
std::string NamePartOf(const std::string& path, const PathRules& rules = kNativePathRules);
// Creates every missing level of `path`. An empty path throws InOutError(3, "Unable to
// create directory"); otherwise true when the directory exists afterwards.
bool CreateDirTree(const std::string& path, FileSystem& fs = NativeFileSystem(),
                   const PathRules& rules = kNativePathRules);
