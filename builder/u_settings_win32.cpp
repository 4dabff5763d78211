#include <windows.h>

#include <vector>

#include "u_settings.h"

namespace {

// Query and set rights for reading too: the key is created on the first interactive start.
HKEY OpenSettingsKey() {
  HKEY key = nullptr;
  const LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, SettingsKey + 1, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
  return status == ERROR_SUCCESS ? key : nullptr;
}

// An absent or empty value empties the field; a value of another type leaves it alone.
void ReadValue(HKEY key, const char* name, std::string* field) {
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0) {
    field->clear();
    return;
  }
  std::vector<char> data(size);
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
    return;
  SettingsValueText(type, data.data(), size, field);
}

void WriteValue(HKEY key, const char* name, const std::string& text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
}

}  // namespace

void RestoreSettings(SavedPaths* paths) {
  HKEY key = OpenSettingsKey();
  if (!key) return;
  ReadValue(key, "Source", &paths->source);
  ReadValue(key, "ExeFile", &paths->exeFile);
  ReadValue(key, "Target", &paths->target);
  RegCloseKey(key);
}

void SaveSettings(const SavedPaths& paths) {
  HKEY key = OpenSettingsKey();
  if (!key) return;
  WriteValue(key, "Source", paths.source);
  WriteValue(key, "ExeFile", paths.exeFile);
  WriteValue(key, "Target", paths.target);
  RegCloseKey(key);
}
