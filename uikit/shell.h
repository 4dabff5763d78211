// Small shell operations of the Windows front end: a file's version, opening a document or
// address, picking a folder. All texts are in the system code page.
#pragma once

#include <string>

// "major.minor.release.build" of the file's fixed version record; empty when it has none.
std::string FileVersionText(const std::string& fileName);
// The full path of the running program file.
std::string ModulePath();
// Hands `target` to the shell's "open" verb; false for a blank text or a refusal.
bool ShellOpen(const std::string& target);
// The folder browser, opened at `directory` when it names an existing folder (otherwise
// `directory` is emptied). True, with `directory` set, when the user confirmed a folder.
bool BrowseForDirectory(std::string* directory);
