// The command-line help window: the builder's usage text, shown modally.
#pragma once

#include <windows.h>

// Creates the window owned by the application window, shows it modally and destroys it.
void ShowCommandLineHelp();
