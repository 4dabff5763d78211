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
// The system's open and save dialogs. comdlg32 is loaded from the system folder when first
// asked for: as an import it would bring in, at process start, DLLs that are no KnownDLLs.
struct tagOFNA;
bool AskOpenFileName(tagOFNA* request);
bool AskSaveFileName(tagOFNA* request);
// The folder browser, opened at `directory` when it names an existing folder (otherwise
// `directory` is emptied). True, with `directory` set, when the user confirmed a folder.
bool BrowseForDirectory(std::string* directory);
