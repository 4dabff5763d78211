// The stub's language table (every row's bytes decoded with the system's own code-page
// tables and compared with the texts as written) and the progress bar's arithmetic.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <utility>

#include "stub/progress_math.h"
#include "stub/u_translations.h"

namespace {

std::string ToUtf8(const char* bytes, const char* codePage) {
  iconv_t cd = iconv_open("UTF-8", codePage);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << codePage;
  std::string in(bytes), out(in.size() * 4 + 4, '\0');
  char* inPtr = &in[0];
  char* outPtr = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << codePage;
  // Code pages with combining marks hold the last character back until flushed.
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

struct ExpectedRow {
  int row;
  const char* codePage;
  const char* title;  // UTF-8
  const char* wait;
};

const ExpectedRow kExpected[] = {
    {0, "CP1252", u8"Initialization", u8"Please wait"},  // English
    {1, "CP1250", u8"Inicializace", u8"\u010Cekejte pros\u00EDm"},  // Czech
    {2, "CP1252", u8"Initialisierung", u8"Bitte warten"},  // German
    {3, "CP1252", u8"Inicializaci\u00F3n", u8"Espere"},  // Spanish
    {4, "CP1252", u8"Inicializa\u00E7\u00E3o", u8"Aguarde"},  // Portuguese
    {5, "CP1252", u8"Initialisation", u8"Veuillez patienter"},  // French
    {6, "CP1252", u8"Inizializzazione", u8"Attendere"},  // Italian
    {7, "CP1252", u8"Initialisatie", u8"Een ogenblik geduld"},  // Dutch
    {8, "CP1252", u8"Initialisering", u8"Vent et \u00F8jeblik"},  // Danish
    {9, "CP1252", u8"Initialisering", u8"Vent litt"},  // Norwegian
    {10, "CP1252", u8"Initialisering", u8"V\u00E4nta"},  // Swedish
    {11, "CP1252", u8"Alustus", u8"Odota"},  // Finnish
    {12, "CP1252", u8"Frumstilling", u8"B\u00EDddu"},  // Icelandic
    {13, "CP1250", u8"Inicializ\u00E1cia", u8"\u010Cakajte, pros\u00EDm"},  // Slovak
    {14, "CP1250", u8"Inicjowanie", u8"Prosz\u0119 czeka\u0107"},  // Polish
    {15, "CP1250", u8"Inicializ\u00E1l\u00E1s", u8"Kis t\u00FCrelmet"},  // Hungarian
    {16, "CP1250", u8"Inicijalizacija", u8"Molimo pri\u010Dekajte"},  // Croatian
    {17, "CP1250", u8"Inicializacija", u8"Prosimo, po\u010Dakajte"},  // Slovenian
    {18, "CP1250", u8"Initializare", u8"Asteptati"},  // Romanian
    {19, "CP1251", u8"\u0418\u043D\u0438\u0446\u0438\u0430\u043B\u0438\u0437\u0430\u0446\u0438\u044F", u8"\u041C\u043E\u043B\u044F, \u0438\u0437\u0447\u0430\u043A\u0430\u0439\u0442\u0435"},  // Bulgarian
    {20, "CP1251", u8"\u0418\u043D\u0438\u0446\u0438\u0430\u043B\u0438\u0437\u0430\u0446\u0438\u044F", u8"\u041F\u043E\u0436\u0430\u043B\u0443\u0439\u0441\u0442\u0430, \u043F\u043E\u0434\u043E\u0436\u0434\u0438\u0442\u0435"},  // Russian
    {21, "CP1251", u8"\u0406\u043D\u0456\u0446\u0456\u0430\u043B\u0456\u0437\u0430\u0446\u0456\u044F", u8"\u0417\u0430\u0447\u0435\u043A\u0430\u0439\u0442\u0435, \u0431\u0443\u0434\u044C \u043B\u0430\u0441\u043A\u0430"},  // Ukrainian
    {22, "CP1253", u8"\u03A0\u03C1\u03BF\u03B5\u03C4\u03BF\u03B9\u03BC\u03B1\u03C3\u03AF\u03B1", u8"\u03A0\u03B5\u03C1\u03B9\u03BC\u03AD\u03BD\u03B5\u03C4\u03B5"},  // Greek
    {24, "CP874", u8"\u0E01\u0E32\u0E23\u0E40\u0E15\u0E23\u0E35\u0E22\u0E21\u0E43\u0E0A\u0E49\u0E07\u0E32\u0E19", u8"\u0E42\u0E1B\u0E23\u0E14\u0E23\u0E2D\u0E2A\u0E31\u0E01\u0E04\u0E23\u0E39\u0E48"},  // Thai
    {25, "CP1255", u8"\u05D0\u05EA\u05D7\u05D5\u05DC", u8"\u05E0\u05D0 \u05D4\u05DE\u05EA\u05DF"},  // Hebrew
};

TEST(Translations, EveryRowDecodesToItsTextInItsCodePage) {
  for (const ExpectedRow& e : kExpected) {
    EXPECT_EQ(ToUtf8(TitleText(e.row), e.codePage), e.title) << "row " << e.row;
    EXPECT_EQ(ToUtf8(WaitText(e.row), e.codePage), e.wait) << "row " << e.row;
  }
  // Vietnamese (row 23) keeps its combining tone marks: compared as the bytes themselves.
  EXPECT_EQ(std::string(TitleText(23)), "\xD0" "ang la\xCCm vi\xEA\xF2" "c");
  EXPECT_EQ(std::string(WaitText(23)), "Vui Lo\xCCng \xD0\xF5\xF2i");
}

// Only the low 8 bits are the primary language: a sublanguage never changes the row; a
// language not listed gets English.
TEST(Translations, PrimaryLanguageSelectsTheRowElseEnglish) {
  const std::pair<uint16_t, int> cases[] = {
      {0x0407, 2}, {0x0807, 2}, {0xFC07, 2},  // German (Germany, Switzerland, any sublanguage)
      {0x0405, 1},                            // Czech
      {0x041A, 16}, {0x081A, 16}, {0x141A, 16},  // Croatian; Serbian (Latin) and Bosnian share its id
      {0x042A, 23}, {0x040D, 25}, {0x0424, 17},  // Vietnamese, Hebrew, Slovenian
      {0x0409, 0}, {0x0809, 0}, {0x0804, 0}, {0x0411, 0}, {0x0412, 0}, {0x041F, 0}, {0x0000, 0}, {0x00FF, 0},
      {0x0401, 0}};
  for (const auto& [id, row] : cases) EXPECT_EQ(LanguageRowFor(id), row) << std::hex << id;
}

TEST(Translations, EveryListedPrimaryIdHasItsOwnRow) {
  int rowsSeen[kLanguageCount] = {};
  for (int id = 1; id < 256; ++id) ++rowsSeen[LanguageRowFor(static_cast<uint16_t>(id))];
  for (int row = 1; row < kLanguageCount; ++row) EXPECT_EQ(rowsSeen[row], 1) << "row " << row;
}

TEST(ProgressMath, LabelRoundsAndBarTruncatesAndTheLabelsText) {
  EXPECT_EQ(ProgressPercent(0.996f), 100);
  EXPECT_EQ(ProgressBarEnd(0.996f), 302);
  EXPECT_EQ(ProgressBarEnd(1.0f), 304);
  EXPECT_EQ(ProgressBarEnd(0.0f), 16);
  EXPECT_EQ(ProgressPercent(0.0f), 0);
  EXPECT_EQ(ProgressPercent(0.994f), 99);
  EXPECT_EQ(ProgressPercent(0.5f), 50);
  EXPECT_EQ(ProgressBarEnd(0.5f), 160);
  char label[8];
  EXPECT_EQ(FormatPercentLabel(100, label), 5);
  EXPECT_STREQ(label, "100 %");
  FormatPercentLabel(0, label);
  EXPECT_STREQ(label, "0 %");
  FormatPercentLabel(42, label);
  EXPECT_STREQ(label, "42 %");
}

TEST(ProgressMath, FractionIsSinglePrecisionAndNeverPastOne) {
  EXPECT_EQ(ProgressFraction(0, 0), 0.0f);
  EXPECT_EQ(ProgressFraction(5, 0), 0.0f);
  EXPECT_EQ(ProgressFraction(1, 3), 1.0f / 3.0f);
  EXPECT_EQ(ProgressFraction(7, 5), 1.0f);
  // Just below the total the bar stops short of its end while the label already says 100.
  const float nearlyAll = ProgressFraction(2147483000, 2147483647);
  EXPECT_EQ(ProgressPercent(nearlyAll), 100);
  EXPECT_EQ(ProgressBarEnd(ProgressFraction(996, 1000)), 302);
}

}  // namespace
