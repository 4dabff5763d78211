// The remembered paths of the last interactive build, kept in the current user's registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Relative to HKEY_CURRENT_USER; the leading delimiter is dropped before the platform sees it.
constexpr const char* SettingsKey = "\\Software\\Vornholt\\Kesdra";

struct SavedPaths {
  std::string source;   // "Source": trimmed, ending in a delimiter unless empty
  std::string exeFile;  // "ExeFile"
  std::string target;   // "Target"
};

// The text a stored value stands for: only REG_SZ (1) and REG_EXPAND_SZ (2) values count,
// read up to their first zero byte (or their end) and never expanded. False for any other
// type, which leaves the field as it was.
bool SettingsValueText(uint32_t type, const void* data, size_t size, std::string* text);

// Windows only. Restore fills what it can read and leaves the rest as it was; Save writes
// the three values in order, each on its own. Neither reports a registry failure.
void RestoreSettings(SavedPaths* paths);
void SaveSettings(const SavedPaths& paths);
