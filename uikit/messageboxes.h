// The Windows builder's three message boxes: modal boxes owned by the application window.
// (The Linux builder has no such bodies: its BuildHost, TerminalHost, prints the same texts
// as terminal lines.)
#pragma once

#include <string>

void ShowError(const std::string& message);
void ShowInfo(const std::string& message);
// True only when the user answers Yes. With defaultYes false, Enter answers No.
bool AskYesNo(const std::string& message, bool defaultYes);
