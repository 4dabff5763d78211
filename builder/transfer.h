// Moving the chosen executable's icon and version information into a freshly written
// stub image. Both are all-or-nothing: false leaves the target exactly as it was.
#pragma once

#include <string>

#include "platform/fs.h"

bool TransferIcons(const std::string& executable, const std::string& target, FileSystem& fs = NativeFileSystem());
bool TransferVersionInfo(const std::string& executable, const std::string& target,
                         FileSystem& fs = NativeFileSystem());
