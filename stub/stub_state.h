// The stub's program-wide state and its steps. One thread; everything is set up at start.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "container/payload_reader.h"
#include "shared/u_shared.h"
#include "stub/stub_runtime.h"

// Room for any path Windows hands out, in UTF-16 units with the zero.
constexpr int32_t kPathRoom = 32768;

extern wchar_t OwnPath[kPathRoom];        // module file name of the running executable
extern HANDLE OwnImage;                   // the own file, open for reading
extern PayloadSource OwnSource;           // OwnImage seen by the payload reader
extern int32_t PayloadStart;              // first byte of the PayloadId; 0: none found
extern PayloadId Id;
extern int32_t TotalSize;                 // sum of the entries' Size fields
extern int64_t NeededSize;                // what they take on disk: each file in whole clusters
extern int32_t LongestName;               // longest NameLen found by the check
extern int32_t DoneSize;                  // data bytes written so far
extern StubString ExtractDir;             // with trailing backslash
extern bool ExtractDirMade;               // this run created ExtractDir; until then nothing is removed
extern StubString LaunchPath;
extern DWORD ExitCode;

// The code page of the names a payload stores: the reader that is linked in defines it
// (the stored layout's names are ANSI text), and the writer converts every name by it.
extern const UINT StoredNameCodePage;

// Ends the stub: reports Code (0: nothing to report) with Detail, removes what was unpacked
// (see RemoveExtracted), and ends the process. Never returns.
[[noreturn]] void QuitStub(const wchar_t* detail, DWORD code);

// The system's last error for a failure; when the system set none (a short read or write
// without an error), `fallback`, so that no failure ever ends as a silent success.
DWORD FailureCode(DWORD fallback);

// Ends the stub over a payload reader fault: a read failure with the system's reason (or
// "end of file" for a short read), anything else as an invalid file (193).
[[noreturn]] void QuitOnPayloadFault(PayloadFault fault);

// extract.cpp: the one writer, for either payload reader.
void FindTempFolder();  // before the payload check: the cluster size counts into NeededSize
int64_t OnDisk(int32_t size);  // a file of `size` bytes in whole clusters
void MakeExtractDir();
void CheckFreeSpace();
// One entry, in the shape of an EntrySink (the context is unused): its name converted and
// appended to ExtractDir, its folders made, its file created new (and marked for launch) at
// Begin; its data written and counted for the progress bar; its time and attributes set at End.
void BeginEntryFile(void* context, const EntryHeader& header, const char* name);
void WriteEntryBytes(void* context, const void* data, int32_t count);
void EndEntryFile(void* context, const EntryHeader& header);
// Closes the entry that a failure interrupted, so that it can be removed.
void CloseOpenEntry();
// The full path of the entry that BeginEntryFile began; valid until its next call.
const wchar_t* OpenEntryPath();

// The payload reader, one per stub (extract_stored.cpp or extract_lzma.cpp).
void CheckOwnPayload();  // before anything is written; sets TotalSize, NeededSize, LongestName
void ExtractOwnPayload();

// launch.cpp
void LaunchAndWait();
// Deletes the extraction folder when no process started from it still runs; what cannot be
// deleted is registered for deletion at the next restart, where the system lets the stub.
void RemoveExtracted();

// progress_window.cpp
void SelectLanguage();
void CreateProgressWindow();
void PumpMessages();
void UpdateProgress();
void DestroyProgressWindow();
