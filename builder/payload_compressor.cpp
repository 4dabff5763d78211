#include "builder/payload_compressor.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "LzmaEnc.h"
#include "shared/u_packed.h"

namespace {

constexpr int64_t kLargestContainer = std::numeric_limits<int32_t>::max();
// Files smaller than this are always compressed: a stored chunk would split the stream for
// little gain.
constexpr int32_t kMinStoredFile = 65536;
// Smaller files are compressed even when they repeat an earlier one: below this a copy entry
// saves the encoder little work and the reading twice costs more.
constexpr int64_t kMinCopiedFile = 4096;

void* EncoderAlloc(void*, size_t size) { return size ? std::malloc(size) : nullptr; }
void EncoderFree(void*, void* block) { std::free(block); }
ISzAlloc g_encoderAlloc = {EncoderAlloc, EncoderFree};

void PutLe32(uint32_t value, unsigned char* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One file to pack, as the listing described it.
struct PackedItem {
  const SourceFile* file;
  EntryHeader header;
  int32_t copyOf = -1;       // the earlier item with the same bytes, or -1
  int32_t streamIndex = -1;  // its index in the stream once written; -1 while not (or left out)
  uint32_t dataSum = 0;      // the sum of its data bytes, once written
};

// FNV-1a over the file: it only picks candidates, the bytes are compared before a copy.
uint64_t ContentHash(File& file, int64_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (int64_t done = 0; done < size;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, kCopyBufferSize));
    file.Read(CopyBuffer, n);
    for (int32_t i = 0; i < n; ++i) hash = (hash ^ CopyBuffer[i]) * 1099511628211ull;
    done += n;
  }
  return hash;
}

// `other` holds kCopyBufferSize bytes; `a` is read through CopyBuffer.
bool SameContent(File& a, File& b, int64_t size, std::vector<unsigned char>& other) {
  for (int64_t done = 0; done < size;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, kCopyBufferSize));
    a.Read(CopyBuffer, n);
    b.Read(other.data(), n);
    if (std::memcmp(CopyBuffer, other.data(), n) != 0) return false;
    done += n;
  }
  return true;
}

class PackedWriter {
 public:
  PackedWriter(File& target, FileSystem& fs, BuildHost& host, const WrittenBytes& written)
      : target_(target), fs_(fs), host_(host), written_(written), targetId_(target.Identity()) {
    position_ = target.position();
  }

  void Collect(const std::vector<SourceFile>& files, const std::string& launchKey) {
    for (const SourceFile& file : files) {
      // A target inside the source tree must not swallow itself.
      if (file.listed.identity.valid && file.listed.identity == targetId_) continue;
      AddItem(file, launchKey);
    }
    FindCopies();
  }

  int64_t Write(const PayloadId& id, const PackedSettings& settings) {
    Emit(&id, kPayloadIdSize, false);
    PackedHeader header = {};
    header.Marker = kPackedMarker;
    std::memcpy(header.Magic, "KZP", 3);
    header.Version = kPackedVersion;
    CLzmaEncHandle encoder = LzmaEnc_Create(&g_encoderAlloc);
    if (!encoder) throw std::bad_alloc();
    try {
      Encode(encoder, settings, &header);
    } catch (...) {
      LzmaEnc_Destroy(encoder, &g_encoderAlloc, &g_encoderAlloc);
      FlushStage();
      throw;
    }
    LzmaEnc_Destroy(encoder, &g_encoderAlloc, &g_encoderAlloc);
    WriteTrailer();
    return position_;
  }

 private:
  void AddItem(const SourceFile& file, const std::string& launchKey) {
    const int64_t size = file.listed.size;
    if (size > kLargestContainer)
      throw std::runtime_error(file.path + " is 2 GiB or larger; a self-extracting file cannot carry it");
    decodedEstimate_ += kEntryHeaderSize + static_cast<int64_t>(file.storedName.size()) + size + kChecksumSize;
    if (decodedEstimate_ + kEntryHeaderSize > kLargestContainer)
      throw std::runtime_error("The self-extracting file would reach 2 GiB with " + file.path +
                               "; it must stay below 2,147,483,648 bytes");
    PackedItem item;
    item.file = &file;
    EntryHeader& h = item.header;
    h.IsLaunch = UpperCaseAnsi(file.storedName) == launchKey ? 1 : 0;
    h.NameLen = static_cast<int32_t>(file.storedName.size());
    h.Size = static_cast<int32_t>(size);
    h.Time = static_cast<int32_t>(file.listed.dosTime);
    h.Attr = file.listed.attr;
    items_.push_back(item);
  }

  // Marks every file whose bytes equal an earlier file's. Only sizes shared by two or more
  // candidates are read, and a hash match is confirmed byte for byte.
  void FindCopies() {
    std::map<int64_t, std::vector<size_t>> bySize;
    for (size_t i = 0; i < items_.size(); ++i) {
      const EntryHeader& h = items_[i].header;
      if (h.IsLaunch == 0 && h.Size >= kMinCopiedFile) bySize[h.Size].push_back(i);
    }
    for (const auto& group : bySize) {
      if (group.second.size() < 2) continue;
      std::map<uint64_t, std::vector<size_t>> originals;
      for (size_t i : group.second) {
        std::unique_ptr<File> file = fs_.OpenOrThrow(items_[i].file->path, OpenMode::Read);
        if (file->Identity() == targetId_) continue;
        std::vector<size_t>& same = originals[ContentHash(*file, group.first)];
        items_[i].copyOf = EarlierSameFile(same, file->path(), group.first);
        if (items_[i].copyOf < 0) same.push_back(i);
        host_.ProcessMessages();
      }
    }
  }

  // The first of `candidates` whose bytes equal the file's, or -1.
  int32_t EarlierSameFile(const std::vector<size_t>& candidates, const std::string& path, int64_t size) {
    for (size_t c : candidates) {
      std::unique_ptr<File> earlier = fs_.OpenOrThrow(items_[c].file->path, OpenMode::Read);
      std::unique_ptr<File> again = fs_.OpenOrThrow(path, OpenMode::Read);
      if (compareBuffer_.empty()) compareBuffer_.resize(kCopyBufferSize);
      if (SameContent(*earlier, *again, size, compareBuffer_)) return static_cast<int32_t>(c);
    }
    return -1;
  }

  void Encode(CLzmaEncHandle encoder, const PackedSettings& settings, PackedHeader* header) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = settings.level;
    props.dictSize = settings.dictionarySize;
    props.fb = settings.fastBytes;
    props.reduceSize = static_cast<UInt32>(decodedEstimate_ + kEntryHeaderSize);
    props.lc = kMaxLc;
    props.lp = kMaxLp;
    props.pb = 0;  // 0.2 % (headers) to 0.4 % (DLLs) smaller than 2
    props.numThreads = 1;
    props.writeEndMark = 0;
    SizeT propsSize = LZMA_PROPS_SIZE;
    if (LzmaEnc_SetProps(encoder, &props) != SZ_OK ||
        LzmaEnc_WriteProperties(encoder, header->Props, &propsSize) != SZ_OK)
      throw std::runtime_error("The LZMA encoder refused its settings");
    Emit(header, kPackedHeaderSize, true);

    InStream in{{&InStream::Read}, this};
    OutStream out{{&OutStream::Write}, this};
    Progress progress{{&Progress::Report}, this};
    const SRes result = LzmaEnc_Encode(encoder, &out.base, &in.base, &progress.base, &g_encoderAlloc, &g_encoderAlloc);
    if (failure_) std::rethrow_exception(failure_);
    if (result == SZ_ERROR_MEM) throw std::bad_alloc();
    if (result != SZ_OK) throw std::runtime_error("The LZMA encoder failed");
    FlushStage();
  }

  // ---- input: the decoded stream, produced as the encoder asks for it

  struct InStream {
    ISeqInStream base;
    PackedWriter* self;
    static SRes Read(void* p, void* buffer, size_t* size) {
      PackedWriter* self = static_cast<InStream*>(p)->self;
      try {
        *size = self->Fill(static_cast<unsigned char*>(buffer), *size);
        return SZ_OK;
      } catch (...) {
        self->failure_ = std::current_exception();
        *size = 0;
        return SZ_ERROR_READ;
      }
    }
  };

  size_t Fill(unsigned char* buffer, size_t want) {
    size_t got = 0;
    while (got < want) {
      if (pendingPos_ < pending_.size()) {
        const size_t n = std::min(want - got, pending_.size() - pendingPos_);
        std::memcpy(buffer + got, pending_.data() + pendingPos_, n);
        pendingPos_ += n;
        got += n;
        decoded_ += static_cast<int64_t>(n);
      } else if (open_ && dataLeft_ > 0 && storedData_) {
        EmitStoredData();
      } else if (open_ && dataLeft_ > 0) {
        got += ReadData(buffer + got, want - got);
      } else if (open_) {
        FinishEntry();
      } else if (!StartNextEntry()) {
        if (ended_) break;
        EntryHeader end;
        std::memset(&end, 0, sizeof end);
        SetPending(&end, kEntryHeaderSize);
        ended_ = true;
      }
    }
    return got;
  }

  void SetPending(const void* data, size_t count) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    pending_.assign(bytes, bytes + count);
    pendingPos_ = 0;
  }

  bool StartNextEntry() {
    while (nextItem_ < items_.size()) {
      PackedItem& item = items_[nextItem_++];
      const SourceFile& file = *item.file;
      if (item.copyOf >= 0 && items_[item.copyOf].streamIndex >= 0) {
        StartCopy(item);
        return true;
      }
      std::unique_ptr<File> source = fs_.OpenOrThrow(file.path, OpenMode::Read);
      // Where the listing could not tell, the opened file says whether it is the target.
      if (!file.listed.identity.valid && source->Identity() == targetId_) continue;
      source_ = std::move(source);
      item.streamIndex = entries_++;
      open_ = true;
      dataLeft_ = item.header.Size;
      SetPending(&item.header, kEntryHeaderSize);
      pending_.insert(pending_.end(), file.storedName.begin(), file.storedName.end());
      sum_ = ByteSum(file.storedName.data(), item.header.NameLen);
      dataSize_ += item.header.Size;
      host_.FileStarted(file.storedName, item.header.Size);
      LookAhead();
      return true;
    }
    return false;
  }

  // Header, name, the source's index and the checksum: the whole entry, with no data.
  void StartCopy(PackedItem& item) {
    const SourceFile& file = *item.file;
    EntryHeader header = item.header;
    header.IsLaunch = kCopyEntry;
    SetPending(&header, kEntryHeaderSize);
    pending_.insert(pending_.end(), file.storedName.begin(), file.storedName.end());
    unsigned char tail[kCopyIndexSize + kChecksumSize];
    const PackedItem& source = items_[item.copyOf];
    PutLe32(static_cast<uint32_t>(source.streamIndex), tail);
    PutLe32(ByteSum(file.storedName.data(), header.NameLen) + source.dataSum, tail + kCopyIndexSize);
    pending_.insert(pending_.end(), tail, tail + sizeof tail);
    item.streamIndex = entries_++;
    dataSize_ += header.Size;
    host_.FileStarted(file.storedName, header.Size);
    host_.BytesCopied(header.Size);
  }

  // The first piece of a large file decides whether it is compressed or stored.
  void LookAhead() {
    lookPos_ = lookLen_ = 0;
    storedData_ = false;
    if (dataLeft_ < kMinStoredFile) return;
    lookLen_ = std::min(dataLeft_, kCopyBufferSize);
    ReadSource(CopyBuffer, lookLen_);
    storedData_ = LooksIncompressible(CopyBuffer, lookLen_);
  }

  void ReadSource(unsigned char* into, int32_t count) {
    source_->Read(into, count);
    host_.BytesCopied(count);
  }

  size_t ReadData(unsigned char* buffer, size_t room) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(room, static_cast<size_t>(dataLeft_)));
    if (lookPos_ < lookLen_) {
      const int32_t take = std::min(n, lookLen_ - lookPos_);
      std::memcpy(buffer, CopyBuffer + lookPos_, take);
      lookPos_ += take;
      Consumed(buffer, take);
      return take;
    }
    const int32_t take = std::min(n, kCopyBufferSize);
    ReadSource(buffer, take);
    Consumed(buffer, take);
    return take;
  }

  void Consumed(const unsigned char* data, int32_t count) {
    sum_ += ByteSum(data, count);
    dataLeft_ -= count;
    decoded_ += count;
  }

  // The whole data of the file, in stored chunks at the current place of the decoded stream.
  void EmitStoredData() {
    int32_t n = lookLen_;
    for (;;) {
      ChunkHeader chunk{kChunkStored, n, static_cast<int32_t>(decoded_)};
      Emit(&chunk, kChunkHeaderSize, true);
      Emit(CopyBuffer, n, true);
      sum_ += ByteSum(CopyBuffer, n);
      dataLeft_ -= n;
      decoded_ += n;
      storedBytes_ += n;
      if (dataLeft_ == 0) break;
      n = std::min(dataLeft_, kCopyBufferSize);
      ReadSource(CopyBuffer, n);
    }
    lookLen_ = lookPos_ = 0;
  }

  void FinishEntry() {
    PackedItem& item = items_[nextItem_ - 1];
    item.dataSum = sum_ - ByteSum(item.file->storedName.data(), item.header.NameLen);
    unsigned char sum[kChecksumSize];
    PutLe32(sum_, sum);
    SetPending(sum, kChecksumSize);
    source_->Close();
    source_.reset();
    open_ = false;
    host_.ProcessMessages();
  }

  // ---- output: LZMA pieces gathered into chunks, everything through Emit

  struct OutStream {
    ISeqOutStream base;
    PackedWriter* self;
    static size_t Write(void* p, const void* data, size_t size) {
      PackedWriter* self = static_cast<OutStream*>(p)->self;
      try {
        self->StageLzma(static_cast<const unsigned char*>(data), size);
        return size;
      } catch (...) {
        self->failure_ = std::current_exception();
        return 0;
      }
    }
  };

  struct Progress {
    ICompressProgress base;
    PackedWriter* self;
    static SRes Report(void* p, UInt64 in, UInt64 out) {
      PackedWriter* self = static_cast<Progress*>(p)->self;
      self->host_.PackedProgress(static_cast<int64_t>(in), static_cast<int64_t>(out));
      return SZ_OK;
    }
  };

  void StageLzma(const unsigned char* data, size_t size) {
    while (size > 0) {
      const size_t n = std::min(size, static_cast<size_t>(kMaxChunkLength) - stage_.size());
      stage_.insert(stage_.end(), data, data + n);
      data += n;
      size -= n;
      if (stage_.size() == static_cast<size_t>(kMaxChunkLength)) FlushStage();
    }
  }

  void FlushStage() {
    if (stage_.empty()) return;
    ChunkHeader chunk{kChunkLzma, static_cast<int32_t>(stage_.size()), 0};
    std::vector<unsigned char> pieces;
    pieces.swap(stage_);
    Emit(&chunk, kChunkHeaderSize, true);
    Emit(pieces.data(), static_cast<int32_t>(pieces.size()), true);
  }

  void WriteTrailer() {
    PackedTrailer trailer;
    trailer.DecodedSize = static_cast<int32_t>(decoded_);
    trailer.DataSize = static_cast<int32_t>(dataSize_);
    trailer.LzmaDecoded = static_cast<int32_t>(decoded_ - storedBytes_);
    trailer.Crc = 0;
    Emit(&trailer, kPackedTrailerSize - kChecksumSize, true);
    unsigned char crc[kChecksumSize];
    PutLe32(crc_, crc);
    Emit(crc, kChecksumSize, false);
  }

  void Emit(const void* data, int32_t count, bool inCrc) {
    if (position_ + count > kLargestContainer)
      throw std::runtime_error("The self-extracting file would reach 2 GiB; it must stay below 2,147,483,648 bytes");
    if (inCrc) crc_ = Crc32(crc_, data, count);
    written_(data, count, position_);
    target_.Write(data, count);
    position_ += count;
  }

  File& target_;
  FileSystem& fs_;
  BuildHost& host_;
  const WrittenBytes& written_;
  const FileIdentity targetId_;
  std::vector<PackedItem> items_;
  int64_t decodedEstimate_ = 0;

  size_t nextItem_ = 0;
  int32_t entries_ = 0;
  std::vector<unsigned char> compareBuffer_;  // SameContent's second buffer, made once when needed
  std::unique_ptr<File> source_;
  bool open_ = false, storedData_ = false, ended_ = false;
  int32_t dataLeft_ = 0, lookPos_ = 0, lookLen_ = 0;
  uint32_t sum_ = 0;
  std::vector<unsigned char> pending_;
  size_t pendingPos_ = 0;
  int64_t decoded_ = 0, dataSize_ = 0, storedBytes_ = 0;

  std::vector<unsigned char> stage_;
  int64_t position_ = 0;
  uint32_t crc_ = 0;
  std::exception_ptr failure_;
};

}  // namespace

bool LooksIncompressible(const unsigned char* data, int32_t count) {
  if (count < kMinStoredFile) return false;
  uint64_t counts[256] = {};
  for (int32_t i = 0; i < count; ++i) ++counts[data[i]];
  uint64_t squares = 0;
  for (uint64_t c : counts) squares += c * c;
  // Pearson's chi-square against even spread: about 255 for random bytes, millions for
  // programs or text. Integer arithmetic, so that every builder decides alike.
  const uint64_t n = static_cast<uint64_t>(count);
  const uint64_t chiSquare = 256 * squares / n - n;
  return chiSquare < n / 64;
}

int64_t WritePackedPayload(File& target, FileSystem& fs, const std::vector<SourceFile>& files,
                           const std::string& launchKey, const PayloadId& id, BuildHost& host,
                           const WrittenBytes& written, const PackedSettings& settings) {
  PackedWriter writer(target, fs, host, written);
  writer.Collect(files, launchKey);
  return writer.Write(id, settings);
}
