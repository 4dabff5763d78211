// The builder's own message texts. "%s" stands for the path that the message concerns.
#pragma once

constexpr const char* kMsgSourceMissing = "Source directory does not exist\r\n\r\n%s";
constexpr const char* kMsgExecutableMissing = "Executable file does not exist\r\n\r\n%s";
constexpr const char* kMsgExecutableOutside =
    "The executable must be named by its path inside the source directory, without \"..\"\r\n\r\n%s";
constexpr const char* kMsgExecutableNotPacked =
    "The executable is not among the files to pack, so the produced file would start nothing\r\n\r\n%s";
constexpr const char* kMsgNothingToPack =
    "The source directory holds no file with data, so the produced file could not run\r\n\r\n%s";
constexpr const char* kMsgTargetIsPacked =
    "The target file is one of the files to pack; building it would destroy that file\r\n\r\n%s";
constexpr const char* kMsgBadEpoch = "SOURCE_DATE_EPOCH must be a number of seconds since 1970\r\n\r\n%s";
constexpr const char* kMsgTargetExists = "Target file already exists\r\nOverwrite?";
constexpr const char* kMsgSuccess = "SFX module has been successfully created";
constexpr const char* kMsgCorrupted = "Internal error\r\nThe program is corrupted";
constexpr const char* kMsgWait = "Please wait...";
constexpr const char* kMsgCommandLineSupport = "Command line support";

// The usage text of the command-line help window, one line per array element.
constexpr const char* kUsageLines[] = {
    "Usage:",
    "kesdra [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>",
    "",
    "Optional parametrs:",
    "-o  automatically overwrite target file, if exists",
    "-c  do not show message box when SFX module was created",
    "-h  hide main form of the application",
    "",
    "Example:",
    "kesdra -o \"C:\\sourcedir\" \"setup.exe\" \"C:\\targetfile.exe\"",
};
