// The caption table of the builder's user-interface texts: one row per language.
#pragma once

#include <cstdint>

struct CaptionSet {
  const char* ErrorCaption;
  const char* InfoCaption;
  const char* ConfirmCaption;
  const char* AboutCaption;
  const char* VersionWord;
  const char* TermsLine;
  const char* CopyrightLine;
  const char* WebWord;
  const char* EmailWord;
  const char* OkCaption;
};

extern const CaptionSet Captions[1];
extern uint8_t CurrentLanguage;
