// Texts that the builder's windows compose from pieces: captions, the about box's lines,
// the standard error box's message. Portable, so that the rules are tested natively.
#pragma once

#include <cstdint>
#include <string>

// The standard error box ends a message with a full stop unless its last character is
// already one of the punctuation marks at or below '.' (for example '.', '!', ',' or ')').
std::string WithFullStop(const std::string& message);

// "2.5.0.7" gives "2.5": the text up to its second ".".
std::string MajorMinorVersion(const std::string& version);

// "Kesdra" and "1.0.0.0" give "Kesdra 1.0"; without a version the caption ends in the blank.
std::string CaptionWithVersion(const std::string& caption, const std::string& fileVersion);

// The help window's caption: the main window's caption, " - " and its own.
std::string JoinedCaption(const std::string& mainCaption, const std::string& ownCaption);

// "Version 2.5.0.7"; empty when there is no version to show (never the word alone).
std::string VersionLine(const std::string& versionWord, const std::string& fileVersion);

// The year behind the copyright notice: the program file's year when it forms a valid date,
// otherwise the current year.
int CopyrightYear(bool fileTimeKnown, int fileYear, int fileMonth, int fileDay, int currentYear);
std::string CopyrightText(const std::string& copyrightLine, int year);
