// Texts the builder's windows compose: the error box's full stop, captions, about-box rows,
// and the stored-value rule of the remembered settings.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "builder/u_settings.h"
#include "uikit/ui_text.h"

namespace {

// Added after letters, digits and closing marks; kept off after marks at or below the full stop.
TEST(FullStop, AddedOnlyAfterCharactersAboveIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"Disk full", "Disk full."}, {"error 3", "error 3."},
      {"C:\\out\\", "C:\\out\\."},  // '\' lies above '.'
      {"name?", "name?."},              // '?' lies above '.' too
      {"caf\xE9", "caf\xE9."},          // a code-page letter above 127
      {"Done.", "Done."}, {"Stop!", "Stop!"}, {"list,", "list,"}, {"x-", "x-"}, {"(see above)", "(see above)"},
      {"line\r\n", "line\r\n"}, {"", ""}};
  for (const auto& [message, expected] : cases) EXPECT_EQ(WithFullStop(message), expected) << message;
}

// Captions carry the version cut before its second dot, even when nothing follows; the
// about box's rows.
TEST(Captions, ShortVersionBehindTheName) {
  EXPECT_EQ(CaptionWithVersion("Kesdra", "3.2.26.66"), "Kesdra 3.2");
  EXPECT_EQ(CaptionWithVersion("Kesdra", ""), "Kesdra ");  // no version resource: ends in the blank
  EXPECT_EQ(JoinedCaption("Kesdra 3.2", "Command line support"), "Kesdra 3.2 - Command line support");
  const std::pair<const char*, const char*> cases[] = {{"2.5.0.7", "2.5"}, {"2.5", "2.5"}, {"7", "7"}, {"", ""},
                                                       {"10.20.", "10.20"}, {"..", "."}, {"1.0.0.0", "1.0"}};
  for (const auto& [version, expected] : cases) EXPECT_EQ(MajorMinorVersion(version), expected) << version;
  EXPECT_EQ(VersionLine("Version", "2.5.0.7"), "Version 2.5.0.7");
  EXPECT_EQ(VersionLine("Version", ""), "");
  EXPECT_EQ(CopyrightText("Copyright (c)", 2009), "Copyright (c) 2009");
}

// The year of the file unless it is no date (the current year, 2026, stands in).
TEST(AboutRows, YearOfTheFileUnlessItIsNoDate) {
  const struct {
    bool known;
    int year, month, day, expected;
  } cases[] = {{true, 2009, 6, 30, 2009}, {true, 2024, 2, 29, 2024},  // leap day
               {true, 2023, 2, 29, 2026},                              // no such day
               {true, 1900, 2, 29, 2026},                              // century without a leap day
               {true, 2000, 2, 29, 2000}, {true, 2009, 13, 1, 2026}, {true, 0, 1, 1, 2026}, {false, 2009, 6, 30, 2026}};
  for (const auto& c : cases)
    EXPECT_EQ(CopyrightYear(c.known, c.year, c.month, c.day, 2026), c.expected) << c.year << "-" << c.month << "-" << c.day;
}

bool Read(uint32_t type, const std::string& bytes, std::string* field) {
  return SettingsValueText(type, bytes.data(), bytes.size(), field);
}

TEST(StoredSettings, TextValuesUpToTheirFirstZeroOthersNot) {
  std::string field = "old";
  EXPECT_TRUE(Read(1, std::string("C:\\src\\\0", 8), &field));
  EXPECT_EQ(field, "C:\\src\\");
  EXPECT_TRUE(Read(2, std::string("%TEMP%\\x\0junk", 13), &field));
  EXPECT_EQ(field, "%TEMP%\\x");  // never expanded
  EXPECT_TRUE(Read(1, std::string("no terminator"), &field));
  EXPECT_EQ(field, "no terminator");
  EXPECT_TRUE(Read(1, std::string("\0", 1), &field));
  EXPECT_EQ(field, "");
  // Other types leave the field alone.
  field = "kept";
  EXPECT_FALSE(Read(4, std::string("\x2A\0\0\0", 4), &field));  // REG_DWORD
  EXPECT_FALSE(Read(3, std::string("bin"), &field));             // REG_BINARY
  EXPECT_FALSE(Read(7, std::string("a\0b\0\0", 5), &field));     // REG_MULTI_SZ
  EXPECT_FALSE(Read(0, std::string("none"), &field));
  EXPECT_EQ(field, "kept");
}

}  // namespace
