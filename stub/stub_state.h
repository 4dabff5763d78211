// The stub's program-wide state and its steps. One thread; everything is set up at start.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "container/payload_reader.h"
#include "shared/u_shared.h"
#include "stub/stub_runtime.h"

extern char OwnPath[MAX_PATH + 1];        // module file name of the running executable
extern HANDLE OwnImage;                   // the own file, open for reading
extern PayloadSource OwnSource;           // OwnImage seen by the payload reader
extern int32_t PayloadStart;              // first byte of the PayloadId; 0: none found
extern PayloadId Id;
extern int32_t TotalSize;                 // sum of the Size fields found by the walk
extern int32_t LongestName;               // longest NameLen found by the walk
extern int32_t DoneSize;                  // data bytes written so far
extern StubString ExtractDir;             // with trailing backslash
extern StubString UnpackedList;           // full paths, each followed by a carriage return
extern StubString LaunchPath;
extern DWORD ExitCode;

// Ends the stub: reports Code (0: nothing to report) with Detail, registers what was
// unpacked for removal at the next restart, and ends the process. Never returns.
[[noreturn]] void QuitStub(const char* detail, DWORD code);

// The system's last error for a failure; when the system set none (a short read or write
// without an error), `fallback`, so that no failure ever ends as a silent success.
DWORD FailureCode(DWORD fallback);

// Ends the stub over a payload reader fault: a read failure with the system's reason (or
// "end of file" for a short read), anything else as an invalid file (193).
[[noreturn]] void QuitOnPayloadFault(PayloadFault fault);

// Opens the own file and makes it readable for the payload reader.
void OpenOwnImage();

// extract.cpp
void MakeExtractDir();
void CheckFreeSpace();
void ExtractPayload();
// One entry written from pieces, in the compressed stub: created (and registered) at Begin,
// its data written and counted for the progress bar, its time and attributes set at End.
HANDLE BeginEntryFile(const EntryHeader& header, const char* name);
void WriteEntryBytes(HANDLE file, const void* data, int32_t count);
void EndEntryFile(HANDLE file, const EntryHeader& header);

// extract_lzma.cpp, in the compressed stub only
void CheckOwnPackedPayload();  // before anything is written; sets TotalSize
void ExtractPackedPayload();

// launch.cpp
void LaunchAndWait();
void ScheduleRemoval();

// progress_window.cpp
void SelectLanguage();
void CreateProgressWindow();
void PumpMessages();
void UpdateProgress();
void DestroyProgressWindow();
