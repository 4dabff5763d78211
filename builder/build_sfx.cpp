#include "build_sfx.h"

#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <stdexcept>
#include <vector>

#include "builder/payload_compressor.h"
#include "builder/transfer.h"
#include "builder/u_messages.h"
#include "pe/pe_image.h"
#include "platform/fs.h"
#include "shared/u_shared.h"
#include "uikit/messageboxes.h"
#include "uikit/u_paths.h"

bool OverwriteTarget = false;
bool ReportSuccess = true;
bool HideMainWindow = false;
bool CommandLineMode = false;
bool CompressPayload = false;
StubImageRef StubImage;
StubImageRef PackedStubImage;

namespace {

BuildHost g_quietHost;
BuildHost* g_host = &g_quietHost;
uint32_t g_seed = 0;

constexpr int64_t kLargestContainer = std::numeric_limits<int32_t>::max();
// Small pieces are gathered up to this many bytes before they are written.
constexpr int32_t kStageSize = 65536;

std::string Format(const char* pattern, const std::string& value) {
  std::string text = pattern;
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

// The executable as typed, in the platform's path form ("bin/setup.exe" on Linux) ...
std::string NativeRelative(std::string typed) {
#ifndef _WIN32
  for (char& c : typed) c = (c == '\\') ? '/' : c;
#endif
  return typed;
}

// ... and in the stored form that the IsLaunch rule compares with ("bin\SETUP.EXE").
std::string LaunchKey(const std::string& typed) {
  std::string stored = typed;
#ifndef _WIN32
  for (char& c : stored) c = (c == '/') ? '\\' : c;
#endif
  return UpperCaseAnsi(StoredFormOf(stored));
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

// What `count` bytes at file offset `position` add to the PE checksum's word sum: each byte
// is the low or the high half of a little-endian 16-bit word, by the parity of its offset.
uint64_t PeWordSum(const unsigned char* p, int64_t count, int64_t position) {
  uint64_t even = 0, odd = 0;  // bytes at even and at odd offsets from p
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), lowBytes = _mm_set1_epi16(0x00FF);
  __m128i evenAcc = zero, oddAcc = zero;
  for (; i + 16 <= count; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    evenAcc = _mm_add_epi64(evenAcc, _mm_sad_epu8(_mm_and_si128(v, lowBytes), zero));
    oddAcc = _mm_add_epi64(oddAcc, _mm_sad_epu8(_mm_srli_epi16(v, 8), zero));
  }
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), evenAcc);
  even = lanes[0] + lanes[1];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), oddAcc);
  odd = lanes[0] + lanes[1];
#endif
  for (; i < count; ++i) (i & 1 ? odd : even) += p[i];
  return (position & 1) ? odd + (even << 8) : even + (odd << 8);
}

// The PE checksum of the produced file, kept while the payload is written: a second pass
// over the finished file would read every byte of the payload again.
class ImageChecksum {
 public:
  // Sums the image as the resource transfers left it (it is small); a target that is not a
  // PE image gets no checksum.
  void Start(const std::string& path) {
    pe::FileSource source;
    pe::PeImage image;
    if (!source.Open(path, nullptr) || !pe::ParsePeImage(source, &image, nullptr)) return;
    const uint64_t size = source.Size();
    for (uint64_t at = 0; at < size; at += kCopyBufferSize) {
      const uint64_t count = size - at < kCopyBufferSize ? size - at : kCopyBufferSize;
      if (!source.ReadAt(at, CopyBuffer, count)) return;
      sum_ += PeWordSum(CopyBuffer, static_cast<int64_t>(count), static_cast<int64_t>(at));
    }
    // The checksum field itself counts as zero.
    uint8_t field[4];
    offset_ = image.CheckSumOffset();
    if (!source.ReadAt(offset_, field, 4)) return;
    sum_ -= PeWordSum(field, 4, static_cast<int64_t>(offset_));
    active_ = true;
  }

  void Add(const void* data, int32_t count, int64_t position) {
    if (active_) sum_ += PeWordSum(static_cast<const unsigned char*>(data), count, position);
  }

  // Folds the sum as the system does (one's-complement 16-bit addition), adds the file size
  // and stores the result in the headers. Like the resource transfers, a failure here only
  // leaves the field as it was.
  void Finish(const std::string& path, int64_t fileSize) const {
    if (!active_) return;
    const uint64_t folded = sum_ == 0 ? 0 : (sum_ - 1) % 0xFFFF + 1;
    const uint32_t checksum = static_cast<uint32_t>(folded + static_cast<uint64_t>(fileSize));
    const uint8_t le[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                           static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) return;
    if (std::fseek(file, static_cast<long>(offset_), SEEK_SET) == 0) std::fwrite(le, 1, 4, file);
    std::fclose(file);
  }

 private:
  bool active_ = false;
  uint64_t offset_ = 0;
  uint64_t sum_ = 0;
};

// Everything one build's walk needs: the open target and where it stands.
class PayloadWriter {
 public:
  PayloadWriter(File& target, const std::string& sourceDir, const std::string& launchKey, ImageChecksum& checksum)
      : target_(target), sourceDir_(sourceDir), launchKey_(launchKey), targetId_(target.Identity()),
        imageChecksum_(checksum) {
    position_ = target.Size();
    staged_.reserve(kStageSize);
  }

  int64_t Position() const { return position_; }

  void WriteIdentifier() {
    const PayloadId id = DrawPayloadId();
    Append(&id, kPayloadIdSize);
  }

  // Depth-first, in listing order: a subdirectory is finished before its parent's next entry.
  void AddDirectory() {
    ListDirectory(sourceDir_ + relNative_, [this](const ListedEntry& entry) {
      if (entry.isDirectory) {
        const size_t nativeLen = relNative_.size(), storedLen = relStored_.size();
        relNative_ += entry.name + kPathDelimiter;
        relStored_ += entry.storedName + '\\';
        AddDirectory();
        relNative_.resize(nativeLen);
        relStored_.resize(storedLen);
      } else {
        AddFile(entry);
      }
    });
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
  void AddFile(const ListedEntry& entry) {
    const std::string path = sourceDir_ + relNative_ + entry.name;
    const std::string storedName = relStored_ + entry.storedName;
    // A target inside the source tree must not swallow itself. The listing usually knows
    // which file an entry is; asking the opened file costs a system call per file.
    if (entry.identity.valid && entry.identity == targetId_) return;
    File source = File::OpenRead(path);
    if (!entry.identity.valid && source.Identity() == targetId_) return;
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
      source.Read(CopyBuffer, chunk);
      Append(CopyBuffer, chunk);
      checksum += ByteSum(CopyBuffer, chunk);
      done += chunk;
      g_host->BytesCopied(chunk);
    }
    uint8_t sum[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                      static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
    Append(sum, kChecksumSize);
    source.Close();
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
  const std::string& sourceDir_;
  const std::string launchKey_;
  const FileIdentity targetId_;
  ImageChecksum& imageChecksum_;
  int64_t position_ = 0;
  std::string relNative_, relStored_;  // the directory being walked, relative to the source
  std::vector<char> staged_;  // appended but not yet written; never more than kStageSize
};

void WriteStubImage(const std::string& target) {
  const StubImageRef& stub = CompressPayload ? PackedStubImage : StubImage;
  File file = File::Create(target);
  file.Write(stub.data, static_cast<int32_t>(stub.size));
  file.Close();
}

void WritePayload(const std::string& sourceDir, const std::string& executable, const std::string& target) {
  ImageChecksum imageChecksum;
  imageChecksum.Start(target);
  File file = File::OpenAppend(target);
  if (CompressPayload) {
    const int64_t size = WritePackedPayload(file, sourceDir, LaunchKey(executable), DrawPayloadId(), *g_host,
                                            [&](const void* data, int32_t count, int64_t position) {
                                              imageChecksum.Add(data, count, position);
                                            });
    file.Close();
    imageChecksum.Finish(target, size);
    return;
  }
  PayloadWriter writer(file, sourceDir, LaunchKey(executable), imageChecksum);
  try {
    writer.WriteIdentifier();
    writer.AddDirectory();
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
  file.Close();
  imageChecksum.Finish(target, writer.Position());  // so the headers' checksum covers the payload too
}

// Takes the busy notice down on every way out, as the build put it up.
struct BusyNotice {
  BusyNotice() { g_host->ShowBusy(true); }
  ~BusyNotice() { g_host->ShowBusy(false); }
};

}  // namespace

void SetBuildHost(BuildHost* host) { g_host = host ? host : &g_quietHost; }

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

  if (!DirExists(sourceDir)) {
    ShowError(Format(kMsgSourceMissing, sourceDir));
    return BuildOutcome::Rejected;
  }
  const std::string executablePath = sourceDir + NativeRelative(executable);
  if (executable.empty() || !FileExists(executablePath)) {
    ShowError(Format(kMsgExecutableMissing, executablePath));
    return BuildOutcome::Rejected;
  }
  if (!OverwriteTarget && FileExists(target) && !AskYesNo(kMsgTargetExists, false)) return BuildOutcome::Declined;

  {
    BusyNotice busy;
    g_host->ProcessMessages();
    // A bare file name has no directory to create: it goes to the current directory.
    const std::string targetDir = DirectoryPartOf(target);
    if (!targetDir.empty() || target.empty()) CreateDirTree(targetDir);
    WriteStubImage(target);
    if (IsNtPlatform()) {
      TransferIcons(executablePath, target);
      TransferVersionInfo(executablePath, target);
    }
    WritePayload(sourceDir, executable, target);
  }
  if (ReportSuccess) ShowInfo(kMsgSuccess);
  g_host->Terminate();
  return BuildOutcome::Built;
}
