#include "builder/terminal_host.h"

#include <unistd.h>

#include <iostream>
#include <string>

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

void TerminalHost::ShowError(const std::string& message) {
  Clear();
  std::cerr << "kesdra: error: " << AsTerminalText(message) << std::endl;
}

void TerminalHost::ShowInfo(const std::string& message) {
  Clear();
  std::cout << AsTerminalText(message) << std::endl;
}

bool TerminalHost::AskYesNo(const std::string& message, bool defaultYes) {
  Clear();
  if (!isatty(STDIN_FILENO)) {
    unanswered_ = true;
    std::cerr << "kesdra: " << AsTerminalText(message) << " No terminal to answer: nothing was written" << std::endl;
    return false;
  }
  std::cerr << AsTerminalText(message) << (defaultYes ? " [Y/n] " : " [y/N] ") << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  if (answer.empty()) return defaultYes;
  return answer[0] == 'y' || answer[0] == 'Y';
}
