// The writer: the extraction folder that a run creates for itself below the temporary
// folder, the free-space check, and every entry created new, given its data, time and
// attributes. Both payload readers drive it through the same three steps.
#include <windows.h>

#include "stub/size_text.h"
#include "stub/stub_state.h"

namespace {

wchar_t g_tempDir[kPathRoom];
DWORD g_clusterSize;  // 0: unknown, sizes are counted as they are
// ExtractDir + converted name + zero. No Windows path is longer than kMaxStoredNameLen, and a
// stored name of n bytes never converts to more than n units, so a longer one is refused
// before anything is written.
wchar_t g_fullPath[kMaxStoredNameLen + 1];
HANDLE g_openFile;  // the entry between Begin and End; zero-initialised like the rest: no .data

void SizeToText(int64_t value, StubString* out) {
  char separator[4] = {'.', 0, 0, 0};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof(separator));
  char text[32];
  FormatSizeText(value, separator[0] ? separator[0] : '.', text);
  StrAppendAscii(out, text);
}

// Creates every missing folder along `path` from `from` up to its last backslash; results
// are ignored: a folder that cannot be made shows up as the failure to create the file in it.
void MakeFolders(wchar_t* path, int32_t from) {
  for (int32_t i = from; path[i]; ++i) {
    if (path[i] == '\\' && i > 0 && path[i - 1] != ':' && path[i - 1] != '\\') {
      path[i] = 0;
      CreateDirectoryW(path, nullptr);
      path[i] = '\\';
    }
  }
}

bool FullPathFits(int32_t nameLen) {
  return static_cast<int64_t>(ExtractDir.length) + nameLen < static_cast<int64_t>(kMaxStoredNameLen + 1);
}

void SetEntryTime(HANDLE file, int32_t dosTime) {
  FILETIME local, utc;
  const uint32_t t = static_cast<uint32_t>(dosTime);
  if (DosDateTimeToFileTime(static_cast<WORD>(t >> 16), static_cast<WORD>(t & 0xFFFF), &local) &&
      LocalFileTimeToFileTime(&local, &utc))
    SetFileTime(file, nullptr, nullptr, &utc);
}

// The one place where a stored name becomes the system's text.
const wchar_t* EntryPath(const EntryHeader& header, const char* name) {
  if (!FullPathFits(header.NameLen)) QuitStub(ExtractDir.text, ERROR_FILENAME_EXCED_RANGE);
  for (int32_t i = 0; i < ExtractDir.length; ++i) g_fullPath[i] = ExtractDir.text[i];
  const int32_t n = MultiByteToWideChar(StoredNameCodePage, 0, name, header.NameLen, g_fullPath + ExtractDir.length,
                                        kMaxStoredNameLen - ExtractDir.length);
  if (n <= 0) QuitStub(OwnPath, ERROR_BAD_EXE_FORMAT);
  g_fullPath[ExtractDir.length + n] = 0;
  return g_fullPath;
}

}  // namespace

bool ExtractDirMade;

const wchar_t* OpenEntryPath() { return g_fullPath; }

void BeginEntryFile(void*, const EntryHeader& header, const char* name) {
  EntryPath(header, name);
  if (header.IsLaunch != 0) {
    StrClear(&LaunchPath);
    StrAppendZ(&LaunchPath, g_fullPath);
  }
  MakeFolders(g_fullPath, ExtractDir.length);
  // Created new, never reused: the folder is this run's own, so an existing name can only
  // be a second entry of that name or something planted since.
  HANDLE file = CreateFileW(g_fullPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) QuitStub(g_fullPath, FailureCode(ERROR_CANNOT_MAKE));
  g_openFile = file;
}

void WriteEntryBytes(void*, const void* data, int32_t count) {
  DWORD written = 0;
  if (!WriteFile(g_openFile, data, count, &written, nullptr) || written != static_cast<DWORD>(count))
    QuitStub(g_fullPath, FailureCode(ERROR_DISK_FULL));
  DoneSize += count;
  UpdateProgress();
  PumpMessages();
}

void EndEntryFile(void*, const EntryHeader& header) {
  SetEntryTime(g_openFile, header.Time);
  CloseOpenEntry();
  // After the close: a read-only, hidden or system attribute never stops the writing. A file
  // just created has the archive attribute alone already.
  if (header.Attr != FILE_ATTRIBUTE_ARCHIVE) SetFileAttributesW(g_fullPath, header.Attr);
}

void CloseOpenEntry() {
  if (g_openFile) CloseHandle(g_openFile);
  g_openFile = nullptr;
}

void FindTempFolder() {
  const DWORD n = GetTempPathW(kPathRoom, g_tempDir);
  g_tempDir[n < static_cast<DWORD>(kPathRoom) ? n : 0] = 0;
  // The cluster of the volume that holds the folder: a mount point has its own.
  static wchar_t volume[kPathRoom];
  DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
  if (GetVolumePathNameW(g_tempDir, volume, kPathRoom) &&
      GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
    g_clusterSize = sectorsPerCluster * bytesPerSector;
}

int64_t OnDisk(int32_t size) {
  if (g_clusterSize == 0) return size;
  // In 32 bits (a Size is below 2^31, a cluster at most a few MiB): the 32-bit build has no
  // 64-bit division of its own.
  const uint32_t clusters = (static_cast<uint32_t>(size) + g_clusterSize - 1) / g_clusterSize;
  return static_cast<int64_t>(clusters) * g_clusterSize;
}

void CheckFreeSpace() {
  // The temporary folder itself is asked, so a folder on a network path is measured too;
  // a query that fails proves nothing, and a real shortage still fails the first write.
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExW(g_tempDir, &available, &total, &free)) return;
  const int64_t freeBytes = available.QuadPart > 0x7FFFFFFFFFFFFFFFull ? 0x7FFFFFFFFFFFFFFFll
                                                                       : static_cast<int64_t>(available.QuadPart);
  if (NeededSize <= freeBytes) return;
  StubString line = {};
  StrAppendChar(&line, UpperAscii(g_tempDir[0]));
  StrAppendAscii(&line, ":\\   (");
  SizeToText(freeBytes, &line);
  StrAppendChar(&line, '<');
  SizeToText(NeededSize, &line);
  StrAppendChar(&line, ')');
  QuitStub(line.text, ERROR_DISK_FULL);
}

// The run's own folder: ~sfx<id> when this run can create it, else the first of
// ~sfx<id>.1, ~sfx<id>.2, ... that it can. One that exists (an earlier run's, another run's
// at the same time, or one planted there) is never used. The levels of the temporary folder
// are made only when it is missing.
void MakeExtractDir() {
  StrAppendZ(&ExtractDir, g_tempDir);
  if (ExtractDir.length == 0 || ExtractDir.text[ExtractDir.length - 1] != '\\') StrAppendChar(&ExtractDir, '\\');
  StrAppendAscii(&ExtractDir, "~sfx");
  for (int32_t i = 0; i < Id.Count; ++i) StrAppendChar(&ExtractDir, static_cast<unsigned char>(Id.Chars[i]));
  const int32_t base = ExtractDir.length;
  bool madeTemp = false;
  for (uint32_t attempt = 0;;) {
    ExtractDir.length = base;
    if (attempt > 0) {
      char number[12];
      int32_t n = 0;
      for (uint32_t v = attempt; v != 0; v /= 10) number[n++] = static_cast<char>('0' + v % 10);
      StrAppendChar(&ExtractDir, '.');
      while (n > 0) StrAppendChar(&ExtractDir, number[--n]);
    }
    StrAppendChar(&ExtractDir, '\\');
    if (!FullPathFits(LongestName)) QuitStub(ExtractDir.text, ERROR_FILENAME_EXCED_RANGE);
    wchar_t* end = ExtractDir.text + ExtractDir.length - 1;
    *end = 0;
    if (CreateDirectoryW(ExtractDir.text, nullptr)) {
      *end = '\\';
      ExtractDirMade = true;
      return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND && !madeTemp) {
      madeTemp = true;
      MakeFolders(g_tempDir, 0);
    } else if (error != ERROR_ALREADY_EXISTS || ++attempt > 0xFFFF) {
      QuitStub(ExtractDir.text, FailureCode(ERROR_CANNOT_MAKE));
    }
  }
}
