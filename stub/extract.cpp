// Extraction: the folder below the temporary folder, the free-space check, and every entry
// written, checked against its checksum and given back its time and attributes.
#include <windows.h>

#include "stub/size_text.h"
#include "stub/stub_state.h"

namespace {

// A link (symbolic link, junction: a reparse point) where the stub would write is refused:
// the extraction folder has a name anyone can predict, so one could be planted there.
constexpr DWORD kLinkRefused = ERROR_CANT_ACCESS_FILE;

char g_tempDir[MAX_PATH + 2];
char g_entryName[kMaxStoredNameLen];
// ExtractDir + stored name + zero. No Windows path is longer than kMaxStoredNameLen, so a
// longer one is refused before anything is written.
char g_fullPath[kMaxStoredNameLen + 1];

// The folder of the previous entry: entries of one folder come together, so folders are
// created when the folder changes, each level once. g_freshFrom is the length of the
// shortest level of g_folder that this run created (0: none); below it nothing can exist
// that the stub did not write itself.
char g_folder[sizeof(g_fullPath)];
int32_t g_folderLength = 0;
int32_t g_freshFrom = 0;

bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Creates every missing folder along `path` up to its last backslash; results are ignored:
// a folder that cannot be made shows up as the failure to create the file in it.
void CreateFolderPart(char* path) {
  for (int32_t i = 0; path[i]; ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsLeadByteAnsi(c) && path[i + 1]) {
      ++i;
    } else if (c == '\\' && i > 0 && path[i - 1] != ':' && path[i - 1] != '\\') {
      path[i] = 0;
      CreateDirectoryA(path, nullptr);
      path[i] = '\\';
    }
  }
}

void SizeToText(int64_t value, char* out) {
  char separator[4] = {'.', 0, 0, 0};
  GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof(separator));
  FormatSizeText(value, separator[0] ? separator[0] : '.', out);
}

void ReadOwn(int64_t pos, void* buffer, int32_t count) {
  if (!OwnSource.readAt(OwnSource.context, pos, buffer, count)) QuitOnPayloadFault(kFaultRead);
}

// Creates one folder; true when it is new. One that exists already must not be a link.
bool MakeFolder(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return true;
  if (IsLink(GetFileAttributesA(path))) QuitStub(path, kLinkRefused);
  return false;
}

// Creates the folders of `path` (an entry's full path) from the level where it leaves the
// previous entry's folder.
void MakeEntryFolder(char* path, int32_t folderLength) {
  int32_t common = ExtractDir.length;
  for (int32_t i = common; i < folderLength && i < g_folderLength && path[i] == g_folder[i]; ++i) {
    if (path[i] == '\\') common = i + 1;
  }
  if (common == folderLength && common == g_folderLength) return;
  if (g_freshFrom > common) g_freshFrom = 0;
  for (int32_t i = common; i < folderLength; ++i) {
    if (IsLeadByteAnsi(static_cast<unsigned char>(path[i])) && i + 1 < folderLength) {
      ++i;
    } else if (path[i] == '\\') {
      path[i] = 0;
      if (MakeFolder(path) && g_freshFrom == 0) g_freshFrom = i + 1;
      path[i] = '\\';
    }
  }
  for (int32_t i = 0; i < folderLength; ++i) g_folder[i] = path[i];
  g_folderLength = folderLength;
}

// Length of the folder part of `path`, up to and including its last backslash.
int32_t FolderLength(const char* path, int32_t length) {
  int32_t folder = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (IsLeadByteAnsi(static_cast<unsigned char>(path[i])) && i + 1 < length) ++i;
    else if (path[i] == '\\') folder = i + 1;
  }
  return folder;
}

HANDLE CreateEntryFile(const char* path, bool inFreshFolder) {
  // In a folder that existed before, the file to be replaced may be a planted link.
  if (!inFreshFolder && IsLink(GetFileAttributesA(path))) QuitStub(path, kLinkRefused);
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) QuitStub(path, FailureCode(ERROR_CANNOT_MAKE));
  return file;
}

// Copies the entry's data from `pos` into `file` in chunks through CopyBuffer; returns the
// running checksum.
uint32_t CopyEntryData(HANDLE file, const char* path, int64_t pos, int32_t size, uint32_t checksum) {
  int32_t copied = 0;
  while (copied < size) {
    const int32_t n = size - copied < kCopyBufferSize ? size - copied : kCopyBufferSize;
    ReadOwn(pos + copied, CopyBuffer, n);
    DWORD written = 0;
    if (!WriteFile(file, CopyBuffer, n, &written, nullptr) || written != static_cast<DWORD>(n))
      QuitStub(path, FailureCode(ERROR_DISK_FULL));
    checksum += ByteSum(CopyBuffer, n);
    copied += n;
    DoneSize += n;
    UpdateProgress();
    PumpMessages();
  }
  return checksum;
}

void SetEntryTime(HANDLE file, int32_t dosTime) {
  FILETIME local, utc;
  const uint32_t t = static_cast<uint32_t>(dosTime);
  if (DosDateTimeToFileTime(static_cast<WORD>(t >> 16), static_cast<WORD>(t & 0xFFFF), &local) &&
      LocalFileTimeToFileTime(&local, &utc))
    SetFileTime(file, nullptr, nullptr, &utc);
}

bool FullPathFits(int32_t nameLen) {
  return static_cast<int64_t>(ExtractDir.length) + nameLen < static_cast<int64_t>(sizeof(g_fullPath));
}

// Forms the full path of an entry: ExtractDir followed by the stored name, byte for byte.
void FormFullPath(const char* name, int32_t nameLen) {
  if (!FullPathFits(nameLen)) QuitStub(ExtractDir.text, ERROR_FILENAME_EXCED_RANGE);
  int32_t n = 0;
  for (int32_t i = 0; i < ExtractDir.length; ++i) g_fullPath[n++] = ExtractDir.text[i];
  for (int32_t i = 0; i < nameLen; ++i) g_fullPath[n++] = name[i];
  g_fullPath[n] = 0;
}

void ExtractEntry(const EntryHeader& header, int32_t pos) {
  FormFullPath(g_entryName, header.NameLen);
  uint32_t checksum = ByteSum(g_entryName, header.NameLen);
  if (header.IsLaunch != 0) {
    StrClear(&LaunchPath);
    StrAppendZ(&LaunchPath, g_fullPath);
  }
  // Listed before the file is created, so a file that fails later is still registered.
  StrAppendZ(&UnpackedList, g_fullPath);
  StrAppendChar(&UnpackedList, '\r');
  const int32_t folderLength = FolderLength(g_fullPath, ExtractDir.length + header.NameLen);
  MakeEntryFolder(g_fullPath, folderLength);
  HANDLE file = CreateEntryFile(g_fullPath, g_freshFrom != 0 && g_freshFrom <= folderLength);
  const int64_t dataPos = static_cast<int64_t>(pos) + kEntryHeaderSize + header.NameLen;
  checksum = CopyEntryData(file, g_fullPath, dataPos, header.Size, checksum);
  unsigned char stored[4];
  ReadOwn(dataPos + header.Size, stored, kChecksumSize);
  if (LoadLe32(stored) != checksum) QuitStub(OwnPath, ERROR_BAD_EXE_FORMAT);
  SetEntryTime(file, header.Time);
  CloseHandle(file);
  // After the close: a read-only, hidden or system attribute never stops the writing. A file
  // just created or replaced has the archive attribute alone already.
  if (static_cast<DWORD>(header.Attr) != FILE_ATTRIBUTE_ARCHIVE) SetFileAttributesA(g_fullPath, header.Attr);
}

}  // namespace

#ifdef KESDRA_PACKED
// The same steps as ExtractEntry, for an entry whose data arrives in pieces.
HANDLE BeginEntryFile(const EntryHeader& header, const char* name) {
  FormFullPath(name, header.NameLen);
  if (header.IsLaunch == 1) {  // a copy entry's 2 is no launch mark
    StrClear(&LaunchPath);
    StrAppendZ(&LaunchPath, g_fullPath);
  }
  StrAppendZ(&UnpackedList, g_fullPath);
  StrAppendChar(&UnpackedList, '\r');
  const int32_t folderLength = FolderLength(g_fullPath, ExtractDir.length + header.NameLen);
  MakeEntryFolder(g_fullPath, folderLength);
  return CreateEntryFile(g_fullPath, g_freshFrom != 0 && g_freshFrom <= folderLength);
}

void WriteEntryBytes(HANDLE file, const void* data, int32_t count) {
  DWORD written = 0;
  if (!WriteFile(file, data, count, &written, nullptr) || written != static_cast<DWORD>(count))
    QuitStub(g_fullPath, FailureCode(ERROR_DISK_FULL));
  DoneSize += count;
  UpdateProgress();
  PumpMessages();
}

void EndEntryFile(HANDLE file, const EntryHeader& header) {
  SetEntryTime(file, header.Time);
  CloseHandle(file);
  if (static_cast<DWORD>(header.Attr) != FILE_ATTRIBUTE_ARCHIVE) SetFileAttributesA(g_fullPath, header.Attr);
}
#endif

void MakeExtractDir() {
  const DWORD n = GetTempPathA(MAX_PATH + 1, g_tempDir);
  g_tempDir[n <= MAX_PATH ? n : 0] = 0;
  StrClear(&ExtractDir);
  StrAppendZ(&ExtractDir, g_tempDir);
  if (ExtractDir.length == 0 || ExtractDir.text[ExtractDir.length - 1] != '\\') StrAppendChar(&ExtractDir, '\\');
  StrAppendZ(&ExtractDir, "~sfx");
  StrAppend(&ExtractDir, Id.Chars, Id.Count);
  StrAppendChar(&ExtractDir, '\\');
  if (!FullPathFits(LongestName)) QuitStub(ExtractDir.text, ERROR_FILENAME_EXCED_RANGE);
}

void CheckFreeSpace() {
  // The temporary folder itself is asked, so a folder on a network path is measured too;
  // a query that fails proves nothing, and a real shortage still fails the first write.
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(g_tempDir, &available, &total, &free)) return;
  const int64_t freeBytes = available.QuadPart > 0x7FFFFFFFFFFFFFFFull ? 0x7FFFFFFFFFFFFFFFll
                                                                       : static_cast<int64_t>(available.QuadPart);
  if (static_cast<int64_t>(TotalSize) <= freeBytes) return;
  char line[96];
  char* o = line;
  *o++ = UpperAscii(ExtractDir.text[0]);
  for (const char* s = ":\\   ("; *s; ++s) *o++ = *s;
  SizeToText(freeBytes, o);
  o += StrLen(o);
  *o++ = '<';
  SizeToText(TotalSize, o);
  o += StrLen(o);
  *o++ = ')';
  *o = 0;
  QuitStub(line, ERROR_DISK_FULL);
}

namespace {

// Creates the extraction folder; the levels of the temporary folder only when it is missing.
void MakeExtractFolder() {
  char* dir = ExtractDir.text;
  const int32_t last = ExtractDir.length - 1;
  dir[last] = 0;
  bool fresh = CreateDirectoryA(dir, nullptr) != 0;
  if (!fresh && GetLastError() == ERROR_PATH_NOT_FOUND) {
    dir[last] = '\\';
    CreateFolderPart(dir);
    dir[last] = 0;
  }
  if (!fresh && IsLink(GetFileAttributesA(dir))) QuitStub(dir, kLinkRefused);
  dir[last] = '\\';
  for (int32_t i = 0; i <= last; ++i) g_folder[i] = dir[i];
  g_folderLength = ExtractDir.length;
  g_freshFrom = fresh ? ExtractDir.length : 0;
}

}  // namespace

void ExtractPayload() {
  MakeExtractFolder();
#ifdef KESDRA_PACKED
  ExtractPackedPayload();
#else
  int32_t pos = PayloadStart + kPayloadIdSize;
  while (pos < OwnSource.size) {
    EntryHeader header;
    int32_t next = 0;
    // Checked again: the own file is shared for writing and may have changed since the walk.
    const PayloadFault fault = ReadEntry(OwnSource, pos, IsLeadByteAnsi, &header, g_entryName, &next);
    if (fault != kFaultNone) QuitOnPayloadFault(fault);
    if (IsEndRecord(header)) break;
    ExtractEntry(header, pos);
    pos = next;
  }
#endif
}
