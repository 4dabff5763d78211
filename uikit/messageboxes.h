// The builder's three message boxes. On Windows they are modal boxes owned by the
// application window; on Linux they are lines on the terminal.
#pragma once

#include <string>

void ShowError(const std::string& message);
void ShowInfo(const std::string& message);
// True only when the user answers Yes. With defaultYes false, Enter answers No.
bool AskYesNo(const std::string& message, bool defaultYes);
