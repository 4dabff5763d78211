// Message boxes as terminal lines: errors on standard error, information on standard
// output, questions asked on the terminal (No when nobody can answer).
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "messageboxes.h"

namespace {

// One terminal line from a box's text: a blank line between parts becomes ": ", a single
// line break a blank.
std::string AsTerminalText(const std::string& message) {
  std::string out;
  for (size_t i = 0; i < message.size();) {
    if (message[i] != '\r' && message[i] != '\n') {
      out.push_back(message[i++]);
      continue;
    }
    int breaks = 0;
    for (; i < message.size() && (message[i] == '\r' || message[i] == '\n'); ++i) breaks += message[i] == '\n';
    out += breaks > 1 ? ": " : " ";
  }
  return out;
}

}  // namespace

void ShowError(const std::string& message) { std::cerr << "kesdra: error: " << AsTerminalText(message) << std::endl; }

void ShowInfo(const std::string& message) { std::cout << AsTerminalText(message) << std::endl; }

bool AskYesNo(const std::string& message, bool defaultYes) {
  if (!isatty(STDIN_FILENO)) return false;
  std::cerr << AsTerminalText(message) << (defaultYes ? " [Y/n] " : " [y/N] ") << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  if (answer.empty()) return defaultYes;
  return answer[0] == 'y' || answer[0] == 'Y';
}
