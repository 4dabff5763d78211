// Moving the chosen executable's icon and version information into a freshly written
// stub image. Both are all-or-nothing: false leaves the target exactly as it was.
#pragma once

#include <string>

bool TransferIcons(const std::string& executable, const std::string& target);
bool TransferVersionInfo(const std::string& executable, const std::string& target);

// Makes the checksum in the PE headers of a finished produced file cover the whole file,
// payload included. False (file untouched) when it is not a PE image or cannot be written.
bool UpdateImageChecksum(const std::string& target);
