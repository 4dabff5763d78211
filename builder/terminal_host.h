// The Linux builder's host: message boxes as terminal lines (errors on standard error,
// information on standard output, questions on the terminal) and the progress line.
#pragma once

#include "builder/progress_line.h"

class TerminalHost : public ProgressLine {
 public:
  using ProgressLine::ProgressLine;
  void ShowError(const std::string& message) override;
  void ShowInfo(const std::string& message) override;
  // No when nobody can answer (standard input is not a terminal): the question is printed
  // with the news that nothing was written, and unanswered() tells the caller.
  bool AskYesNo(const std::string& message, bool defaultYes) override;
  bool unanswered() const { return unanswered_; }

 private:
  bool unanswered_ = false;
};

// One terminal line from a box's text: a blank line between parts becomes ": ", a single
// line break a blank.
std::string AsTerminalText(const std::string& message);
