#include <windows.h>

#include "messageboxes.h"
#include "u_captions.h"

void ShowError(const std::string& message) {
  MessageBoxA(nullptr, message.c_str(), Captions[CurrentLanguage].ErrorCaption, MB_OK | MB_ICONERROR);
}

void ShowInfo(const std::string& message) {
  MessageBoxA(nullptr, message.c_str(), Captions[CurrentLanguage].InfoCaption, MB_OK | MB_ICONINFORMATION);
}

bool AskYesNo(const std::string& message, bool defaultYes) {
  const UINT style = MB_YESNO | MB_ICONQUESTION | (defaultYes ? 0 : MB_DEFBUTTON2);
  return MessageBoxA(nullptr, message.c_str(), Captions[CurrentLanguage].ConfirmCaption, style) == IDYES;
}
