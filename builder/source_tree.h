// The source tree as one listing taken before anything is written, and the checks that keep
// a build from writing a file that could not work: names the container cannot store or
// Windows cannot create, names that differ only in letter case, paths too long for Windows,
// and sizes past the container's signed 32-bit limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "platform/fs.h"

struct SourceFile {
  std::string path;        // in the platform's form, to open
  std::string storedName;  // relative, "\"-separated, as the produced file stores it
  ListedEntry listed;      // size, time, attributes and identity as the listing gave them
  std::string codePageName;  // storedName in the code page form (the same without UTF-8 names),
                             // which the launched program's name is compared with
};

struct SourceTree {
  std::vector<SourceFile> files;  // depth-first, each folder in listing order
  std::string refusal;            // why no working file can be built from it; empty when one can
};

// Lists `sourceDir` (which ends in a delimiter) with its subfolders; a folder that cannot be
// listed contributes nothing. `fixedBytes` is what the produced file holds besides the
// entries (the stub image, the identifier and the end record). `host` processes its messages
// once a folder has been listed.
// With `utf8Names` (compressed payloads) the stored names are UTF-8, and any name Windows
// can create is taken; else they are in code page 1252.
SourceTree ListSourceTree(FileSystem& fs, const std::string& sourceDir, int64_t fixedBytes,
                          BuildHost& host, bool utf8Names = false);

// Why a file of `size` bytes at `path`, with which the produced file would be `end` bytes
// long, breaks the 2 GiB limit; empty when it does not. An empty `path` names no file.
std::string SizeRefusal(const std::string& path, int64_t size, int64_t end);
// The same refusal thrown as a std::runtime_error.
void RefuseIfTooLarge(const std::string& path, int64_t size, int64_t end);
