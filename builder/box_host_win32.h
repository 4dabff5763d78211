// Builds on Windows, with a window or without, answer through the program's message boxes.
#pragma once

#include "builder/build_sfx.h"
#include "uikit/messageboxes.h"

class BoxHost : public BuildHost {
 public:
  void ShowError(const std::string& message) override { ::ShowError(message); }
  void ShowInfo(const std::string& message) override { ::ShowInfo(message); }
  bool AskYesNo(const std::string& message, bool defaultYes) override { return ::AskYesNo(message, defaultYes); }
};
