// Texts the builder's windows compose: the error box's full stop, captions, about-box rows,
// and the stored-value rule of the remembered settings.
#include <gtest/gtest.h>

#include <cstring>

#include "builder/u_settings.h"
#include "uikit/ui_text.h"

namespace {

// Added after letters, digits and closing marks; kept off after marks at or below the full stop.
TEST(FullStop, AddedOnlyAfterCharactersAboveIt) {
  EXPECT_EQ(WithFullStop("Disk full"), "Disk full.");
  EXPECT_EQ(WithFullStop("error 3"), "error 3.");
  EXPECT_EQ(WithFullStop("C:\\out\\"), "C:\\out\\.");  // '\' lies above '.'
  EXPECT_EQ(WithFullStop("name?"), "name?.");           // '?' lies above '.' too
  EXPECT_EQ(WithFullStop("caf\xE9"), "caf\xE9.");       // a code-page letter above 127
  EXPECT_EQ(WithFullStop("Done."), "Done.");
  EXPECT_EQ(WithFullStop("Stop!"), "Stop!");
  EXPECT_EQ(WithFullStop("list,"), "list,");
  EXPECT_EQ(WithFullStop("x-"), "x-");
  EXPECT_EQ(WithFullStop("(see above)"), "(see above)");
  EXPECT_EQ(WithFullStop("line\r\n"), "line\r\n");
  EXPECT_EQ(WithFullStop(""), "");
}

TEST(Captions, ShortVersionBehindTheName) {
  EXPECT_EQ(CaptionWithVersion("Kesdra", "3.2.26.66"), "Kesdra 3.2");
  EXPECT_EQ(CaptionWithVersion("Kesdra", "1.0.0.0"), "Kesdra 1.0");
  EXPECT_EQ(CaptionWithVersion("Kesdra", ""), "Kesdra ");  // no version resource: ends in the blank
  EXPECT_EQ(JoinedCaption("Kesdra 3.2", "Command line support"), "Kesdra 3.2 - Command line support");
}

TEST(MajorMinor, CutBeforeTheSecondDotEvenWhenNothingFollows) {
  EXPECT_EQ(MajorMinorVersion("2.5.0.7"), "2.5");
  EXPECT_EQ(MajorMinorVersion("2.5"), "2.5");
  EXPECT_EQ(MajorMinorVersion("7"), "7");
  EXPECT_EQ(MajorMinorVersion(""), "");
  EXPECT_EQ(MajorMinorVersion("10.20."), "10.20");
  EXPECT_EQ(MajorMinorVersion(".."), ".");
}

TEST(AboutRows, VersionLineIsEmptyWithoutAVersion) {
  EXPECT_EQ(VersionLine("Version", "2.5.0.7"), "Version 2.5.0.7");
  EXPECT_EQ(VersionLine("Version", ""), "");
}

TEST(AboutRows, YearOfTheFileUnlessItIsNoDate) {
  EXPECT_EQ(CopyrightYear(true, 2009, 6, 30, 2026), 2009);
  EXPECT_EQ(CopyrightYear(true, 2024, 2, 29, 2026), 2024);  // leap day
  EXPECT_EQ(CopyrightYear(true, 2023, 2, 29, 2026), 2026);  // no such day
  EXPECT_EQ(CopyrightYear(true, 1900, 2, 29, 2026), 2026);  // century without a leap day
  EXPECT_EQ(CopyrightYear(true, 2000, 2, 29, 2026), 2000);
  EXPECT_EQ(CopyrightYear(true, 2009, 13, 1, 2026), 2026);
  EXPECT_EQ(CopyrightYear(true, 0, 1, 1, 2026), 2026);
  EXPECT_EQ(CopyrightYear(false, 2009, 6, 30, 2026), 2026);
  EXPECT_EQ(CopyrightText("Copyright (c)", 2009), "Copyright (c) 2009");
}

bool Read(uint32_t type, const std::string& bytes, std::string* field) {
  return SettingsValueText(type, bytes.data(), bytes.size(), field);
}

TEST(StoredSettings, TextValuesUpToTheirFirstZero) {
  std::string field = "old";
  EXPECT_TRUE(Read(1, std::string("C:\\src\\\0", 8), &field));
  EXPECT_EQ(field, "C:\\src\\");
  EXPECT_TRUE(Read(2, std::string("%TEMP%\\x\0junk", 13), &field));
  EXPECT_EQ(field, "%TEMP%\\x");  // never expanded
  EXPECT_TRUE(Read(1, std::string("no terminator"), &field));
  EXPECT_EQ(field, "no terminator");
  EXPECT_TRUE(Read(1, std::string("\0", 1), &field));
  EXPECT_EQ(field, "");
}

TEST(StoredSettings, OtherTypesLeaveTheFieldAlone) {
  std::string field = "kept";
  EXPECT_FALSE(Read(4, std::string("\x2A\0\0\0", 4), &field));  // REG_DWORD
  EXPECT_FALSE(Read(3, std::string("bin"), &field));             // REG_BINARY
  EXPECT_FALSE(Read(7, std::string("a\0b\0\0", 5), &field));     // REG_MULTI_SZ
  EXPECT_FALSE(Read(0, std::string("none"), &field));
  EXPECT_EQ(field, "kept");
}

}  // namespace
