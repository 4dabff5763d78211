// u_translations: the stub's window texts. Portable (no windows.h) so the table can be
// checked byte for byte natively.
#pragma once

#include <stdint.h>

constexpr uint8_t kLanguageCount = 26;

// Row of the table in use; 0 (English) until SelectLanguage has run.
extern uint8_t LanguageIndex;

// A row's texts as ANSI bytes of its language's code page; `row` below kLanguageCount.
const char* TitleText(uint8_t row);
const char* WaitText(uint8_t row);

// The row for a language id: looked up by its primary language (low 8 bits, as the stub
// has always taken it); unlisted ids give row 0.
uint8_t LanguageRowFor(uint16_t langId);
