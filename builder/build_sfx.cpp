#include "build_sfx.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "builder/entry_stream.h"
#include "builder/payload_compressor.h"
#include "builder/source_tree.h"
#include "builder/transfer.h"
#include "builder/u_messages.h"
#include "container/payload_reader.h"
#include "pe/pe_checksum.h"
#include "pe/pe_image.h"
#include "shared/u_packed.h"
#include "shared/u_shared.h"
#include "platform/paths.h"

bool OverwriteTarget = false;
bool ReportSuccess = true;
bool CommandLineMode = false;
bool CompressPayload = false;
StubImageRef StubImage;
StubImageRef PackedStubImage;

namespace {

BuildHost g_quietHost;
BuildHost* g_host = &g_quietHost;
FileSystem* g_fs = &NativeFileSystem();
uint32_t g_seed = 0;
// The temporary file of the build under way, for a signal handler to remove: a fixed array,
// since such a handler may not allocate.
char g_temporary[4096];

std::string Format(const char* pattern, const std::string& value) {
  std::string text = pattern;
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

std::string WithDelimiter(std::string path, char from, char to) {
  for (char& c : path) c = (c == from) ? to : c;
  return path;
}

// The executable as typed, in the platform's path form ("bin/setup.exe" on Linux) ...
std::string NativeRelative(const std::string& typed) {
  return WithDelimiter(typed, '\\', kNativePathRules.delimiter);
}

// ... and in the stored form that the IsLaunch rule compares with ("bin\SETUP.EXE").
std::string LaunchKey(const std::string& typed) {
  return UpperCaseAnsi(StoredFormOf(WithDelimiter(typed, kNativePathRules.delimiter, '\\')));
}

// On Linux a leading "./" is the shell's way of naming a file in the current folder; the
// stored names have no such part.
std::string WithoutCurrentFolder(std::string typed) {
  if (kNativePathRules.delimiter != '/') return typed;
  while (typed.size() > 2 && typed[0] == '.' && typed[1] == '/') typed.erase(0, 2);
  return typed;
}

// A name that leaves the source folder ("..", a root, a drive) can never be a stored name.
bool LeavesSourceFolder(const std::string& typed) {
  if (typed.empty()) return false;
  if (typed[0] == '/' || typed[0] == '\\' || (typed.size() > 1 && typed[1] == ':')) return true;
  size_t from = 0;
  for (size_t i = 0; i <= typed.size(); ++i) {
    if (i < typed.size() && typed[i] != '/' && typed[i] != '\\') continue;
    if (typed.compare(from, i - from, "..") == 0 && i - from == 2) return true;
    from = i + 1;
  }
  return false;
}

PayloadId IdentifierOf(uint32_t value) {
  PayloadId id;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%010X", value);
  id.Count = 10;
  std::memcpy(id.Chars, digits, 10);
  return id;
}

// The ten characters of a fresh payload identifier.
PayloadId DrawPayloadId() { return IdentifierOf(RandomBelow(0x7FFFFFFFu)); }

// SOURCE_DATE_EPOCH, the reproducible-builds convention: seconds since 1970 UTC. False when
// it is not set; a value that is not a plain count of seconds is refused.
bool ReproducibleMoment(int64_t* seconds) {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text) return false;
  int64_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9' || value > (int64_t{1} << 40)) throw std::runtime_error(Format(kMsgBadEpoch, text));
    value = value * 10 + (*c - '0');
  }
  *seconds = value;
  return true;
}

void AddToCrc(uint32_t* crc, uint32_t value) {
  unsigned char le[4];
  StoreLe32(value, le);
  *crc = Crc32(*crc, le, 4);
}

// For a reproducible build: the identifier is a CRC-32 of what the payload stores (every
// entry's launch mark, name, size, time, attributes and bytes), so equal trees give equal
// identifiers on either builder, and different trees unpack into different folders.
PayloadId DerivedPayloadId(const std::vector<SourceFile>& files, const std::string& launchKey) {
  uint32_t crc = 0;
  for (const SourceFile& file : files) {
    AddToCrc(&crc, IsLaunchFile(file, launchKey) ? 1 : 0);
    AddToCrc(&crc, static_cast<uint32_t>(file.storedName.size()));
    crc = Crc32(crc, file.storedName.data(), static_cast<int32_t>(file.storedName.size()));
    AddToCrc(&crc, static_cast<uint32_t>(file.listed.size));
    AddToCrc(&crc, file.listed.dosTime);
    AddToCrc(&crc, file.listed.attr);
    std::unique_ptr<File> source = g_fs->OpenOrThrow(file.path, OpenMode::Read);
    for (int64_t done = 0; done < file.listed.size;) {
      const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(file.listed.size - done, kCopyBufferSize));
      source->Read(CopyBuffer, chunk);
      crc = Crc32(crc, CopyBuffer, chunk);
      done += chunk;
    }
    source->Close();
    g_host->ProcessMessages();
  }
  return IdentifierOf(crc);
}

// The PE checksum of the produced file, kept while the payload is written: a second pass
// over the finished file would read every byte of the payload again.
class ImageChecksum {
 public:
  // Sums the image as the resource transfers left it (it is small); a target that is not a
  // PE image gets no checksum.
  void Start(File& target) {
    pe::FileSource source;
    pe::PeImage image;
    if (!source.Attach(target) || !pe::ParsePeImage(source, &image, nullptr)) return;
    offset_ = image.CheckSumOffset();
    sum_ = pe::PeChecksum(offset_);
    const uint64_t size = source.Size();
    for (uint64_t at = 0; at < size; at += kCopyBufferSize) {
      const uint64_t count = size - at < kCopyBufferSize ? size - at : kCopyBufferSize;
      if (!source.ReadAt(at, CopyBuffer, count)) return;
      sum_.Add(CopyBuffer, count, at);
    }
    active_ = true;
  }

  void Add(const void* data, int32_t count, int64_t position) {
    if (active_) sum_.Add(data, static_cast<uint64_t>(count), static_cast<uint64_t>(position));
  }

  // Stores the sum, with the file's final size, in the headers.
  void Finish(File& target, int64_t fileSize) const {
    if (!active_) return;
    const uint32_t checksum = sum_.Value(static_cast<uint64_t>(fileSize));
    unsigned char le[4];
    StoreLe32(checksum, le);
    if (const int err = target.WriteAt(static_cast<int64_t>(offset_), le, 4)) throw InOutError(err, target.path());
  }

 private:
  bool active_ = false;
  uint64_t offset_ = 0;
  pe::PeChecksum sum_{0};
};

void WriteStubImage(const std::string& target) {
  const StubImageRef& stub = CompressPayload ? PackedStubImage : StubImage;
  std::unique_ptr<File> file = g_fs->OpenOrThrow(target, OpenMode::Create);
  file->Write(stub.data, static_cast<int32_t>(stub.size));
  file->CloseOrThrow();
}

void WritePayload(const SourceTree& tree, const std::string& launchKey, const PayloadId& id, const std::string& target) {
  std::unique_ptr<File> file = g_fs->OpenOrThrow(target, OpenMode::Update);
  file->SeekToEnd();
  ImageChecksum imageChecksum;
  imageChecksum.Start(*file);
  const WrittenBytes written = [&](const void* data, int32_t count, int64_t position) {
    imageChecksum.Add(data, count, position);
  };
  const int64_t size = CompressPayload ? WritePackedPayload(*file, *g_fs, tree.files, launchKey, id, *g_host, written)
                                       : WriteStoredPayload(*file, *g_fs, tree.files, launchKey, id, *g_host, written);
  imageChecksum.Finish(*file, size);  // so the headers' checksum covers the payload too
  file->CloseOrThrow();
}

// Why the stub would refuse to run what `tree` makes: no entry marked to be launched, or no
// data byte at all. Empty when it would run.
std::string RefusalToRun(const SourceTree& tree, const std::string& typed, const std::string& path,
                         const std::string& launchKey) {
  bool marked = false, data = false;
  for (const SourceFile& file : tree.files) {
    marked = marked || IsLaunchFile(file, launchKey);
    data = data || file.listed.size > 0;
  }
  if (!marked) return Format(kMsgExecutableNotPacked, typed + " (" + path + ")");
  if (!data) return Format(kMsgNothingToPack, path);
  return std::string();
}

// The target must not be a file of the payload: the build would destroy what it packs.
// Files are compared by identity, whatever their spelling; where the listing cannot tell a
// file's identity (Windows), only files of the target's size are opened to ask.
std::string RefusalOfTarget(const SourceTree& tree, const std::string& target) {
  if (!g_fs->FileExists(target)) return std::string();
  std::unique_ptr<File> file;
  if (g_fs->Open(target, OpenMode::Read, &file) != kErrNone) return std::string();  // the build reports it
  const FileIdentity targetId = file->Identity();
  int64_t targetSize = -1;
  if (file->GetSize(&targetSize) != kErrNone || !targetId.valid) return std::string();
  file->Close();
  for (const SourceFile& source : tree.files) {
    bool same = source.listed.identity == targetId;
    if (!source.listed.identity.valid && source.listed.size == targetSize) {
      std::unique_ptr<File> other;
      same = g_fs->Open(source.path, OpenMode::Read, &other) == kErrNone && other->Identity() == targetId;
    }
    if (same) return Format(kMsgTargetIsPacked, target + " (" + source.path + ")");
  }
  return std::string();
}

// Writes the produced file under a temporary name in the target's folder and puts it in
// place with one rename when everything has succeeded, so that a failed build leaves the
// target as it was, and no temporary file.
void WriteProducedFile(const SourceTree& tree, const std::string& executablePath, const std::string& launchKey,
                       const PayloadId& id, const std::string& target) {
  const std::string temporary = target + ".kesdra-tmp";
  std::snprintf(g_temporary, sizeof g_temporary, "%s", temporary.size() < sizeof g_temporary ? temporary.c_str() : "");
  try {
    WriteStubImage(temporary);
    if (IsNtPlatform()) {
      TransferIcons(executablePath, temporary, *g_fs);
      TransferVersionInfo(executablePath, temporary, *g_fs);
    }
    WritePayload(tree, launchKey, id, temporary);
    // Windows refuses to replace a file that is in use, a running program for one.
    if (const int err = g_fs->Rename(temporary, target))
      throw InOutError(err, InOutErrorText(err) + " on replacing the target, which is kept as it was", target);
  } catch (const InOutError& e) {
    g_fs->Remove(temporary);
    g_temporary[0] = '\0';
    if (e.path() == temporary) throw InOutError(e.code(), target);  // the name the user gave
    throw;
  } catch (...) {
    g_fs->Remove(temporary);
    g_temporary[0] = '\0';
    throw;
  }
  g_temporary[0] = '\0';
}

// Takes the busy notice down on every way out, as the build put it up.
struct BusyNotice {
  BusyNotice() { g_host->ShowBusy(true); }
  ~BusyNotice() { g_host->ShowBusy(false); }
};

}  // namespace

void SetBuildHost(BuildHost* host) { g_host = host ? host : &g_quietHost; }

void SetBuildFileSystem(FileSystem* fs) { g_fs = fs ? fs : &NativeFileSystem(); }

void SeedRandom(uint32_t seed) { g_seed = seed; }

uint32_t RandomBelow(uint32_t n) {
  g_seed = g_seed * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(n) * g_seed) >> 32);
}

const char* TemporaryTargetPath() { return g_temporary; }

BuildOutcome BuildSfx(const std::string& sourceDirIn, const std::string& executableIn, const std::string& targetIn) {
  g_host->ProcessMessages();
  const std::string sourceDir = WithTrailingDelimiter(TrimControls(sourceDirIn));
  const std::string typed = TrimControls(executableIn);
  const std::string executable = WithoutCurrentFolder(typed);
  const std::string target = TrimControls(targetIn);
  if (!CommandLineMode) g_host->SaveSettings(sourceDir, typed, target);

  if (!g_fs->DirExists(sourceDir)) {
    g_host->ShowError(Format(kMsgSourceMissing, sourceDir));
    return BuildOutcome::Rejected;
  }
  if (LeavesSourceFolder(executable)) {
    g_host->ShowError(Format(kMsgExecutableOutside, typed));
    return BuildOutcome::Rejected;
  }
  const std::string executablePath = sourceDir + NativeRelative(executable);
  if (executable.empty() || !g_fs->FileExists(executablePath)) {
    g_host->ShowError(Format(kMsgExecutableMissing, executablePath));
    return BuildOutcome::Rejected;
  }
  int64_t epoch = 0;
  const bool reproducible = ReproducibleMoment(&epoch);
  if (!OverwriteTarget && g_fs->FileExists(target) && !g_host->AskYesNo(kMsgTargetExists, false))
    return BuildOutcome::Declined;

  std::string refusal;
  {
    BusyNotice busy;
    g_host->ProcessMessages();
    // The whole tree is listed and checked first: what cannot become a working file is
    // refused before the target is created or truncated.
    const int64_t stubSize = static_cast<int64_t>((CompressPayload ? PackedStubImage : StubImage).size);
    const int64_t fixedBytes = stubSize + kPayloadIdSize + kEntryHeaderSize;
    SourceTree tree = ListSourceTree(*g_fs, sourceDir, fixedBytes, *g_host, CompressPayload);
    const std::string launchKey = LaunchKey(executable);
    refusal = tree.refusal;
    if (refusal.empty()) refusal = RefusalToRun(tree, typed, executablePath, launchKey);
    if (refusal.empty()) refusal = RefusalOfTarget(tree, target);
    if (refusal.empty()) {
      if (reproducible) {
        const uint32_t latest = DosTimeOfUnixTime(epoch);
        for (SourceFile& file : tree.files) file.listed.dosTime = std::min(file.listed.dosTime, latest);
      }
      const PayloadId id = reproducible ? DerivedPayloadId(tree.files, launchKey) : DrawPayloadId();
      // A bare file name has no directory to create: it goes to the current directory.
      const std::string targetDir = DirectoryPartOf(target);
      if (!targetDir.empty() || target.empty()) CreateDirTree(targetDir, *g_fs);
      WriteProducedFile(tree, executablePath, launchKey, id, target);
    }
  }
  if (!refusal.empty()) {
    g_host->ShowError(refusal);
    return BuildOutcome::Rejected;
  }
  if (ReportSuccess) g_host->ShowInfo(kMsgSuccess);
  g_host->Terminate();
  return BuildOutcome::Built;
}
