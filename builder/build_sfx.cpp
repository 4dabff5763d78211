#include "build_sfx.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "builder/payload_compressor.h"
#include "builder/source_tree.h"
#include "builder/transfer.h"
#include "builder/u_messages.h"
#include "pe/pe_checksum.h"
#include "pe/pe_image.h"
#include "shared/u_limits.h"
#include "shared/u_shared.h"
#include "uikit/u_paths.h"

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

// Small pieces are gathered up to this many bytes before they are written.
constexpr int32_t kStageSize = 65536;

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

// The ten characters of a fresh payload identifier.
PayloadId DrawPayloadId() {
  PayloadId id;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%010X", RandomBelow(0x7FFFFFFFu));
  id.Count = 10;
  std::memcpy(id.Chars, digits, 10);
  return id;
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
    const uint8_t le[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                           static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
    if (const int err = target.WriteAt(static_cast<int64_t>(offset_), le, 4)) throw InOutError(err, target.path());
  }

 private:
  bool active_ = false;
  uint64_t offset_ = 0;
  pe::PeChecksum sum_{0};
};

// Everything one build's walk needs: the open target and where it stands.
class PayloadWriter {
 public:
  PayloadWriter(File& target, const std::string& launchKey, ImageChecksum& checksum)
      : target_(target), launchKey_(launchKey), targetId_(target.Identity()), imageChecksum_(checksum) {
    position_ = target.position();
    staged_.reserve(kStageSize);
  }

  int64_t Position() const { return position_; }

  void WriteIdentifier() {
    const PayloadId id = DrawPayloadId();
    Append(&id, kPayloadIdSize);
  }

  void AddFiles(const std::vector<SourceFile>& files) {
    for (const SourceFile& file : files) AddFile(file);
  }

  void WriteEndRecord() {
    EntryHeader end;
    std::memset(&end, 0, sizeof end);
    Append(&end, kEntryHeaderSize);
  }

  // Writes out what is gathered, so that the target holds everything appended so far.
  void Flush() {
    if (staged_.empty()) return;
    try {
      target_.Write(staged_.data(), static_cast<int32_t>(staged_.size()));
    } catch (...) {
      staged_.clear();  // what failed is not written twice
      throw;
    }
    staged_.clear();
  }

 private:
  void AddFile(const SourceFile& file) {
    const std::string& path = file.path;
    const std::string& storedName = file.storedName;
    const ListedEntry& entry = file.listed;
    // A target inside the source tree must not swallow itself. The listing usually knows
    // which file an entry is; asking the opened file costs a system call per file.
    if (entry.identity.valid && entry.identity == targetId_) return;
    std::unique_ptr<File> source = g_fs->OpenOrThrow(path, OpenMode::Read);
    if (!entry.identity.valid && source->Identity() == targetId_) return;
    CheckFits(path, storedName, entry.size);

    EntryHeader header;
    header.IsLaunch = UpperCaseAnsi(storedName) == launchKey_ ? 1 : 0;
    header.NameLen = static_cast<int32_t>(storedName.size());
    header.Size = static_cast<int32_t>(entry.size);
    header.Time = static_cast<int32_t>(entry.dosTime);
    header.Attr = entry.attr;
    Append(&header, kEntryHeaderSize);
    Append(storedName.data(), header.NameLen);

    g_host->FileStarted(storedName, entry.size);
    uint32_t checksum = ByteSum(storedName.data(), header.NameLen);
    for (int32_t done = 0; done < header.Size;) {
      const int32_t chunk = header.Size - done < kCopyBufferSize ? header.Size - done : kCopyBufferSize;
      source->Read(CopyBuffer, chunk);
      Append(CopyBuffer, chunk);
      checksum += ByteSum(CopyBuffer, chunk);
      done += chunk;
      g_host->BytesCopied(chunk);
    }
    uint8_t sum[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                      static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
    Append(sum, kChecksumSize);
    source->Close();
    g_host->ProcessMessages();
  }

  // Sizes and positions in a produced file are signed 32-bit: refuse what would not fit
  // rather than write a header that disagrees with its data.
  void CheckFits(const std::string& path, const std::string& storedName, int64_t size) const {
    if (size > kLargestContainer)
      throw std::runtime_error(path + " is 2 GiB or larger; a self-extracting file cannot carry it");
    const int64_t end = position_ + kEntryHeaderSize + static_cast<int64_t>(storedName.size()) + size +
                        kChecksumSize + kEntryHeaderSize;
    if (end > kLargestContainer)
      throw std::runtime_error("The self-extracting file would reach 2 GiB with " + path +
                               "; it must stay below 2,147,483,648 bytes");
  }

  // Headers, names, checksums and the data of small files are gathered and written in one
  // go: with one write() per piece a tree of small files spent most of its time entering the
  // kernel. A full chunk of a large file still goes straight from CopyBuffer to the target.
  void Append(const void* data, int32_t count) {
    imageChecksum_.Add(data, count, position_);
    position_ += count;
    if (staged_.size() + static_cast<size_t>(count) > kStageSize) Flush();
    if (count >= kStageSize) {
      target_.Write(data, count);
      return;
    }
    const char* bytes = static_cast<const char*>(data);
    staged_.insert(staged_.end(), bytes, bytes + count);
  }

  File& target_;
  const std::string launchKey_;
  const FileIdentity targetId_;
  ImageChecksum& imageChecksum_;
  int64_t position_ = 0;
  std::vector<char> staged_;  // appended but not yet written; never more than kStageSize
};

void WriteStubImage(const std::string& target) {
  const StubImageRef& stub = CompressPayload ? PackedStubImage : StubImage;
  std::unique_ptr<File> file = g_fs->OpenOrThrow(target, OpenMode::Create);
  file->Write(stub.data, static_cast<int32_t>(stub.size));
  file->CloseOrThrow();
}

void WritePayload(const SourceTree& tree, const std::string& executable, const std::string& target) {
  std::unique_ptr<File> file = g_fs->OpenOrThrow(target, OpenMode::Update);
  file->SeekToEnd();
  ImageChecksum imageChecksum;
  imageChecksum.Start(*file);
  if (CompressPayload) {
    const int64_t size = WritePackedPayload(*file, *g_fs, tree.files, LaunchKey(executable), DrawPayloadId(), *g_host,
                                            [&](const void* data, int32_t count, int64_t position) {
                                              imageChecksum.Add(data, count, position);
                                            });
    imageChecksum.Finish(*file, size);
    file->CloseOrThrow();
    return;
  }
  PayloadWriter writer(*file, LaunchKey(executable), imageChecksum);
  try {
    writer.WriteIdentifier();
    writer.AddFiles(tree.files);
    writer.WriteEndRecord();
    writer.Flush();
  } catch (...) {
    // A failed build leaves the target as far as it got, gathered pieces included; the
    // first failure is the one to report.
    try {
      writer.Flush();
    } catch (...) {
    }
    throw;
  }
  imageChecksum.Finish(*file, writer.Position());  // so the headers' checksum covers the payload too
  file->CloseOrThrow();
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

BuildOutcome BuildSfx(const std::string& sourceDirIn, const std::string& executableIn, const std::string& targetIn) {
  g_host->ProcessMessages();
  const std::string sourceDir = WithTrailingDelimiter(TrimControls(sourceDirIn));
  const std::string executable = TrimControls(executableIn);
  const std::string target = TrimControls(targetIn);
  if (!CommandLineMode) g_host->SaveSettings(sourceDir, executable, target);

  if (!g_fs->DirExists(sourceDir)) {
    g_host->ShowError(Format(kMsgSourceMissing, sourceDir));
    return BuildOutcome::Rejected;
  }
  const std::string executablePath = sourceDir + NativeRelative(executable);
  if (executable.empty() || !g_fs->FileExists(executablePath)) {
    g_host->ShowError(Format(kMsgExecutableMissing, executablePath));
    return BuildOutcome::Rejected;
  }
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
    const SourceTree tree =
        ListSourceTree(*g_fs, sourceDir, fixedBytes, [] { g_host->ProcessMessages(); }, CompressPayload);
    refusal = tree.refusal;
    if (refusal.empty()) {
      // A bare file name has no directory to create: it goes to the current directory.
      const std::string targetDir = DirectoryPartOf(target);
      if (!targetDir.empty() || target.empty()) CreateDirTree(targetDir, *g_fs);
      WriteStubImage(target);
      if (IsNtPlatform()) {
        TransferIcons(executablePath, target, *g_fs);
        TransferVersionInfo(executablePath, target, *g_fs);
      }
      WritePayload(tree, executable, target);
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
