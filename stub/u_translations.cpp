// The progress window's only texts: title and wait line in 26 languages, each stored as
// the bytes of its language's ANSI code page. The file stays ASCII (every other byte is an
// octal escape) so that no editor or compiler re-encodes it.
#include "stub/u_translations.h"

uint8_t LanguageIndex = 0;

namespace {

// Each table holds its rows' texts one after another, each ended by its zero: no table of
// pointers, so no 208 bytes of addresses and 52 relocations in every produced file.
const char kTitleTexts[] = {
    /*  0 English    cp1252 */ "Initialization\0"
    /*  1 Czech      cp1250 */ "Inicializace\0"
    /*  2 German     cp1252 */ "Initialisierung\0"
    /*  3 Spanish    cp1252 */ "Inicializaci\363n\0"
    /*  4 Portuguese cp1252 */ "Inicializa\347\343o\0"
    /*  5 French     cp1252 */ "Initialisation\0"
    /*  6 Italian    cp1252 */ "Inizializzazione\0"
    /*  7 Dutch      cp1252 */ "Initialisatie\0"
    /*  8 Danish     cp1252 */ "Initialisering\0"
    /*  9 Norwegian  cp1252 */ "Initialisering\0"
    /* 10 Swedish    cp1252 */ "Initialisering\0"
    /* 11 Finnish    cp1252 */ "Alustus\0"
    /* 12 Icelandic  cp1252 */ "Frumstilling\0"
    /* 13 Slovak     cp1250 */ "Inicializ\341cia\0"
    /* 14 Polish     cp1250 */ "Inicjowanie\0"
    /* 15 Hungarian  cp1250 */ "Inicializ\341l\341s\0"
    /* 16 Croatian   cp1250 */ "Inicijalizacija\0"
    /* 17 Slovenian  cp1250 */ "Inicializacija\0"
    /* 18 Romanian   cp1250 */ "Initializare\0"
    /* 19 Bulgarian  cp1251 */ "\310\355\350\366\350\340\353\350\347\340\366\350\377\0"
    /* 20 Russian    cp1251 */ "\310\355\350\366\350\340\353\350\347\340\366\350\377\0"
    /* 21 Ukrainian  cp1251 */ "\262\355\263\366\263\340\353\263\347\340\366\263\377\0"
    /* 22 Greek      cp1253 */ "\320\361\357\345\364\357\351\354\341\363\337\341\0"
    /* 23 Vietnamese cp1258 */ "\320ang la\314m vi\352\362c\0"
    /* 24 Thai       cp874 */ "\241\322\303\340\265\303\325\302\301\343\252\351\247\322\271\0"
    /* 25 Hebrew     cp1255 */ "\340\372\347\345\354\0"
};

const char kWaitTexts[] = {
    /*  0 English    cp1252 */ "Please wait\0"
    /*  1 Czech      cp1250 */ "\310ekejte pros\355m\0"
    /*  2 German     cp1252 */ "Bitte warten\0"
    /*  3 Spanish    cp1252 */ "Espere\0"
    /*  4 Portuguese cp1252 */ "Aguarde\0"
    /*  5 French     cp1252 */ "Veuillez patienter\0"
    /*  6 Italian    cp1252 */ "Attendere\0"
    /*  7 Dutch      cp1252 */ "Een ogenblik geduld\0"
    /*  8 Danish     cp1252 */ "Vent et \370jeblik\0"
    /*  9 Norwegian  cp1252 */ "Vent litt\0"
    /* 10 Swedish    cp1252 */ "V\344nta\0"
    /* 11 Finnish    cp1252 */ "Odota\0"
    /* 12 Icelandic  cp1252 */ "B\355ddu\0"
    /* 13 Slovak     cp1250 */ "\310akajte, pros\355m\0"
    /* 14 Polish     cp1250 */ "Prosz\352 czeka\346\0"
    /* 15 Hungarian  cp1250 */ "Kis t\374relmet\0"
    /* 16 Croatian   cp1250 */ "Molimo pri\350ekajte\0"
    /* 17 Slovenian  cp1250 */ "Prosimo, po\350akajte\0"
    /* 18 Romanian   cp1250 */ "Asteptati\0"
    /* 19 Bulgarian  cp1251 */ "\314\356\353\377, \350\347\367\340\352\340\351\362\345\0"
    /* 20 Russian    cp1251 */ "\317\356\346\340\353\363\351\361\362\340, \357\356\344\356\346\344\350\362\345\0"
    /* 21 Ukrainian  cp1251 */ "\307\340\367\345\352\340\351\362\345, \341\363\344\374 \353\340\361\352\340\0"
    /* 22 Greek      cp1253 */ "\320\345\361\351\354\335\355\345\364\345\0"
    /* 23 Vietnamese cp1258 */ "Vui Lo\314ng \320\365\362i\0"
    /* 24 Thai       cp874 */ "\342\273\303\264\303\315\312\321\241\244\303\331\350\0"
    /* 25 Hebrew     cp1255 */ "\360\340 \344\356\372\357\0"
};

// Each row's primary language id, for rows 1 to 25 in order; row 0 (English) is the default.
// 0x1A is also the primary id of Serbian and Bosnian: they get the Croatian row.
const uint8_t kPrimaryIds[] = {
    0x05,  //  1 Czech
    0x07,  //  2 German
    0x0A,  //  3 Spanish
    0x16,  //  4 Portuguese
    0x0C,  //  5 French
    0x10,  //  6 Italian
    0x13,  //  7 Dutch
    0x06,  //  8 Danish
    0x14,  //  9 Norwegian
    0x1D,  // 10 Swedish
    0x0B,  // 11 Finnish
    0x0F,  // 12 Icelandic
    0x1B,  // 13 Slovak
    0x15,  // 14 Polish
    0x0E,  // 15 Hungarian
    0x1A,  // 16 Croatian
    0x24,  // 17 Slovenian
    0x18,  // 18 Romanian
    0x02,  // 19 Bulgarian
    0x19,  // 20 Russian
    0x22,  // 21 Ukrainian
    0x08,  // 22 Greek
    0x2A,  // 23 Vietnamese
    0x1E,  // 24 Thai
    0x0D,  // 25 Hebrew
};

// The text after `row` zeros.
const char* RowText(const char* texts, uint8_t row) {
  for (; row > 0; --row) {
    while (*texts++ != 0) {
    }
  }
  return texts;
}

}  // namespace

const char* TitleText(uint8_t row) { return RowText(kTitleTexts, row); }
const char* WaitText(uint8_t row) { return RowText(kWaitTexts, row); }

uint8_t LanguageRowFor(uint16_t langId) {
  const uint8_t primary = static_cast<uint8_t>(langId & 0xFF);
  for (uint32_t i = 0; i < sizeof kPrimaryIds; ++i) {
    if (kPrimaryIds[i] == primary) return static_cast<uint8_t>(i + 1);
  }
  return 0;
}
