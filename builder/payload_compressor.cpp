#include "builder/payload_compressor.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "LzmaEnc.h"
#include "builder/entry_stream.h"
#include "builder/worker_threads.h"
#include "container/payload_reader.h"
#include "pe/pe_format.h"
#include "shared/u_packed.h"
#include "shared/u_x86.h"

namespace {

// Files smaller than this are always compressed: a stored chunk would split the stream for
// little gain.
constexpr int32_t kMinStoredFile = 65536;
// Smaller files are compressed even when they repeat an earlier one: below this a copy entry
// saves the encoder little work and the reading twice costs more.
constexpr int64_t kMinCopiedFile = 4096;

void* EncoderAlloc(void*, size_t size) { return size ? std::malloc(size) : nullptr; }
void EncoderFree(void*, void* block) { std::free(block); }
ISzAlloc g_encoderAlloc = {EncoderAlloc, EncoderFree};

// An LZMA group larger than half of all compressible bytes, and than this, is split so that
// two cores share the work; splitting cost 0.02 % in size on 213 MB of programs.
constexpr int64_t kMinStreamPiece = 16 << 20;
// The x86 converter is tried on this much of each stream of programs, in the encoder's fast
// mode, and kept when it makes the sample at least 0.5 % smaller.
constexpr int32_t kTrialBytes = 4 << 20;
// What the encoders running at once may take: each needs about 11.5 times its dictionary.
constexpr int64_t kEncoderBudget = 800ll << 20;

enum class Kind : uint8_t { kCode, kOther, kStored };
enum class Program : uint8_t { kNone, kPe, kElf };

// One file to pack: its entry, and what the grouping needs to know of it.
struct PackedItem : PayloadEntry {
  int32_t copyOf = -1;  // the earlier item with the same bytes, or -1
  int32_t index = -1;   // its place in the entry sequence
  Kind kind = Kind::kOther;
  Program program = Program::kNone;
};

// FNV-1a over the file: it only picks candidates, the bytes are compared before a copy.
uint64_t ContentHash(File& file, int64_t size, uint32_t* sum) {
  uint64_t hash = 14695981039346656037ull;
  *sum = 0;
  for (int64_t done = 0; done < size;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, kCopyBufferSize));
    file.Read(CopyBuffer, n);
    for (int32_t i = 0; i < n; ++i) hash = (hash ^ CopyBuffer[i]) * 1099511628211ull;
    *sum += ByteSum(CopyBuffer, n);
    done += n;
  }
  return hash;
}

// Programs of x86 or x64 code, for Windows (PE) or Unix (ELF): the only files the branch
// converter is meant for.
Program X86ProgramOf(File& file, int64_t size) {
  unsigned char dos[64], pe[6];
  if (size < static_cast<int64_t>(sizeof dos) || file.ReadAt(0, dos, sizeof dos) != 0) return Program::kNone;
  if (dos[0] == 0x7F && dos[1] == 'E' && dos[2] == 'L' && dos[3] == 'F')
    return dos[18] == 3 || dos[18] == 62 ? Program::kElf : Program::kNone;
  if (dos[0] != 'M' || dos[1] != 'Z') return Program::kNone;
  const int64_t at = LoadLe32(dos + offsetof(pe::DosHeader, e_lfanew));
  if (at + static_cast<int64_t>(sizeof pe) > size || file.ReadAt(at, pe, sizeof pe) != 0) return Program::kNone;
  const unsigned machine = pe[4] | (pe[5] << 8);
  const bool x86 = LoadLe32(pe) == pe::kPeSignature && (machine == 0x14C || machine == 0x8664);
  return x86 ? Program::kPe : Program::kNone;
}

// One stream of the payload: which items it holds and, once encoded, its bytes.
struct PlannedStream {
  Kind kind = Kind::kOther;
  std::vector<size_t> order;
  bool last = false;         // holds the copy entries and the end record
  int64_t estimate = 0;      // bytes it decodes to, from the listing
  StreamRecord record{};
  std::vector<unsigned char> packed;
  std::atomic<bool> done{false};
  std::exception_ptr failure;
};

// The encoder's input: the entries, through the x86 converter when it pays.
class EncoderInput {
 public:
  explicit EncoderInput(EntryStream& producer) : producer_(producer), buffer_(kTrialBytes) {}

  // Reads the first piece and decides on the converter by a trial on it.
  bool TryConverter() {
    while (len_ < buffer_.size() && !ended_) Refill();
    std::vector<unsigned char> converted(buffer_.begin(), buffer_.begin() + len_);
    X86Converter trial;
    ConvertX86(&trial, true, converted.data(), static_cast<int32_t>(converted.size()));
    const size_t plain = TrialSize(buffer_.data(), len_), filtered = TrialSize(converted.data(), len_);
    convert_ = filtered + plain / 200 < plain;
    ready_ = convert_ ? static_cast<size_t>(ConvertX86(&state_, true, buffer_.data(), static_cast<int32_t>(len_))) : len_;
    if (ended_) ready_ = len_;
    return convert_;
  }

  size_t Read(unsigned char* out, size_t want) {
    while (pos_ == ready_) {
      std::memmove(buffer_.data(), buffer_.data() + pos_, len_ - pos_);
      len_ -= pos_;
      pos_ = ready_ = 0;
      if (ended_) {
        ready_ = len_;  // the last few bytes stay as they are
        if (len_ == 0) return 0;
        break;
      }
      Refill();
      ready_ = convert_ ? static_cast<size_t>(ConvertX86(&state_, true, buffer_.data(), static_cast<int32_t>(len_)))
                        : len_;
      if (ended_) ready_ = convert_ ? ready_ : len_;
    }
    const size_t n = std::min(want, ready_ - pos_);
    std::memcpy(out, buffer_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  void Refill() {
    const size_t n = producer_.Fill(buffer_.data() + len_, buffer_.size() - len_);
    if (n == 0) ended_ = true;
    len_ += n;
  }

  static size_t TrialSize(const unsigned char* data, size_t size) {
    if (size == 0) return 0;
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 1;
    props.dictSize = 1 << 20;
    props.lc = kMaxLc;
    props.lp = 0;
    props.pb = 0;
    props.numThreads = 1;
    std::vector<unsigned char> out(size + size / 2 + 1024);
    SizeT outSize = out.size();
    unsigned char propsBytes[LZMA_PROPS_SIZE];
    SizeT propsSize = LZMA_PROPS_SIZE;
    if (LzmaEncode(out.data(), &outSize, data, size, &props, propsBytes, &propsSize, 0, nullptr, &g_encoderAlloc,
                   &g_encoderAlloc) != SZ_OK)
      return size;
    return outSize;
  }

  EntryStream& producer_;
  std::vector<unsigned char> buffer_;
  size_t pos_ = 0, ready_ = 0, len_ = 0;
  bool ended_ = false, convert_ = false;
  X86Converter state_;
};

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
    for (const PayloadEntry& entry : CollectEntries(files, launchKey, targetId_, 0)) {
      items_.emplace_back();
      static_cast<PayloadEntry&>(items_.back()) = entry;
    }
    FindCopies();
    Classify();
  }

  int64_t Write(const PayloadId& id, const PackedSettings& settings) {
    Plan();
    Emit(&id, kPayloadIdSize, false);
    const int64_t headerAt = position_;
    StreamHeader header = {};
    header.Marker = kPackedMarker;
    std::memcpy(header.Magic, "KZP", 3);
    header.Version = kPackedVersion;
    const unsigned char* h = reinterpret_cast<const unsigned char*>(&header);
    Emit(h, kPayloadSizeAt, true);
    Emit(h + kPayloadSizeAt, 4, false);  // filled in at the end
    Emit(h + kPayloadSizeAt + 4, kPackedHeaderSize - kPayloadSizeAt - 4, true);
    EncodeAll(settings);
    for (const auto& stream : streams_) Emit(&stream->record, kStreamRecordSize, true);
    StreamTrailer trailer;
    trailer.DecodedSize = static_cast<int32_t>(decoded_ + decodedAll_.load());
    trailer.DataSize = static_cast<int32_t>(dataSize_);
    trailer.StreamCount = static_cast<int32_t>(streams_.size());
    Emit(&trailer, kPackedTrailerSize - kChecksumSize, true);
    unsigned char le[4];
    StoreLe32(crc_, le);
    Emit(le, kChecksumSize, false);
    StoreLe32(static_cast<uint32_t>(position_ - headerAt), le);
    if (const int err = target_.WriteAt(headerAt + kPayloadSizeAt, le, 4)) throw InOutError(err, target_.path());
    written_(le, 4, headerAt + kPayloadSizeAt);
    return position_;
  }

 private:
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
        std::vector<size_t>& same = originals[ContentHash(*file, group.first, &items_[i].dataSum)];
        items_[i].sumKnown = true;
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

  // Programs of x86 code, data that would not shrink (its first MiB looks random), and the
  // rest. Drops the target where the listing could not tell that it is inside the tree.
  void Classify() {
    std::vector<PackedItem> kept;
    for (PackedItem& item : items_) {
      if (item.copyOf < 0) {
        std::unique_ptr<File> file = fs_.OpenOrThrow(item.file->path, OpenMode::Read);
        if (!item.file->listed.identity.valid && file->Identity() == targetId_) continue;
        const int32_t size = item.header.Size;
        item.program = X86ProgramOf(*file, size);
        if (item.program != Program::kNone) {
          item.kind = Kind::kCode;
        } else if (size >= kMinStoredFile) {
          const int32_t n = std::min(size, kCopyBufferSize);
          if (const int err = file->ReadAt(0, CopyBuffer, n)) throw InOutError(err, file->path());
          if (LooksIncompressible(CopyBuffer, n)) item.kind = Kind::kStored;
        }
        host_.ProcessMessages();
      }
      kept.push_back(item);
    }
    // Copy references are indices into items_: dropping an item (only ever the target, which
    // is never a copy source) must keep them pointing at the same files.
    std::vector<int32_t> moved(items_.size(), -1);
    for (size_t i = 0, k = 0; i < items_.size() && k < kept.size(); ++i) {
      if (items_[i].file == kept[k].file) moved[i] = static_cast<int32_t>(k++);
    }
    for (PackedItem& item : kept) {
      if (item.copyOf >= 0) item.copyOf = moved[item.copyOf];
    }
    items_.swap(kept);
  }

  static std::string ExtensionOf(const PackedItem& item) {
    const std::string& name = item.file->storedName;
    const size_t dot = name.rfind('.'), slash = name.rfind('\\');
    return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? std::string()
                                                                                  : UpperCaseAnsi(name.substr(dot));
  }

  static int64_t EntryBytes(const PackedItem& item) {
    const int64_t fixed = kEntryHeaderSize + item.header.NameLen + kChecksumSize;
    return item.copyOf >= 0 ? fixed + kCopyIndexSize : fixed + item.header.Size;
  }

  // The streams, in order: data kept as it is, programs, the rest; a group above the piece
  // size split at file boundaries into about equal parts; copies and the end record last.
  // Decided from the listing alone, so the file does not depend on the number of cores.
  void Plan() {
    std::vector<size_t> groups[3];
    int64_t bytes[3] = {0, 0, 0};
    std::vector<size_t> copies;
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].copyOf >= 0) {
        copies.push_back(i);
        continue;
      }
      const int k = static_cast<int>(items_[i].kind);
      groups[k].push_back(i);
      bytes[k] += EntryBytes(items_[i]);
    }
    // Programs stand together by format, other files by extension, each kind in listing
    // order: on 214 MB of a cross compiler's programs and Node's modules grouping made the
    // file 14 % smaller (its compilers' front ends came within one dictionary's reach); by
    // extension, programs too, it made 100 MB of Wine's 32-bit DLLs 1.4 % larger.
    for (std::vector<size_t>& group : groups) {
      std::stable_sort(group.begin(), group.end(), [this](size_t a, size_t b) {
        const PackedItem &x = items_[a], &y = items_[b];
        if (x.kind == Kind::kCode) return x.program > y.program;
        return ExtensionOf(x) < ExtensionOf(y);
      });
    }
    const int64_t piece = std::max(kMinStreamPiece, (bytes[0] + bytes[1] + 1) / 2);
    for (Kind kind : {Kind::kStored, Kind::kCode, Kind::kOther}) {
      const int k = static_cast<int>(kind);
      if (groups[k].empty()) continue;
      const int64_t parts = kind == Kind::kStored ? 1 : (bytes[k] + piece - 1) / piece;
      int64_t sum = 0;
      int64_t part = 1;
      AddStream(kind);
      for (size_t i : groups[k]) {
        if (sum >= bytes[k] * part / parts && !streams_.back()->order.empty()) {
          AddStream(kind);
          ++part;
        }
        streams_.back()->order.push_back(i);
        streams_.back()->estimate += EntryBytes(items_[i]);
        sum += EntryBytes(items_[i]);
      }
    }
    if (streams_.empty()) AddStream(Kind::kOther);
    PlannedStream& last = *streams_.back();
    last.order.insert(last.order.end(), copies.begin(), copies.end());
    for (size_t i : copies) last.estimate += EntryBytes(items_[i]);
    last.estimate += kEntryHeaderSize;
    last.last = true;
    int32_t index = 0;
    for (const auto& stream : streams_) {
      for (size_t i : stream->order) {
        items_[i].index = index++;
        dataSize_ += items_[i].header.Size;
      }
    }
    for (PackedItem& item : items_) {
      if (item.copyOf >= 0) item.copyIndex = items_[item.copyOf].index;
    }
    if (streams_.size() > static_cast<size_t>(kMaxStreams)) throw std::logic_error("too many streams");
  }

  std::vector<PayloadEntry*> SequenceOf(const PlannedStream& stream) {
    std::vector<PayloadEntry*> sequence;
    for (size_t i : stream.order) sequence.push_back(&items_[i]);
    return sequence;
  }

  void AddStream(Kind kind) {
    streams_.push_back(std::unique_ptr<PlannedStream>(new PlannedStream));
    streams_.back()->kind = kind;
  }

  // The stored stream goes out on this thread while the others encode theirs in memory;
  // then each encoded stream is written as it is done, in order.
  void EncodeAll(const PackedSettings& settings) {
    settings_ = settings;
    size_t lzmaStreams = 0;
    for (const auto& stream : streams_) lzmaStreams += stream->kind != Kind::kStored;
    const int threads = std::max(1, std::min<int>(settings.threads > 0 ? settings.threads : ProcessorCount(),
                                                  static_cast<int>(lzmaStreams)));
    budget_ = kEncoderBudget;
    struct Stop {
      std::atomic<bool>& cancel;
      ~Stop() { cancel = true; }
    };
    WorkerThreads workers(lzmaStreams > 0 ? threads : 0, [this] { EncodeWaiting(); });
    Stop stop{cancel_};  // any way out of here ends the workers before they are joined
    for (const auto& stream : streams_) {
      if (stream->kind == Kind::kStored) {
        WriteStored(*stream);
        continue;
      }
      if (lzmaStreams > 0 && workers.started() == 0) EncodeWaiting();
      while (!stream->done.load()) {
        ReportProgress();
        host_.ProcessMessages();
        PauseBriefly();
      }
      ReportProgress();
      if (stream->failure) std::rethrow_exception(stream->failure);
      Emit(stream->packed.data(), static_cast<int32_t>(stream->packed.size()), true);
      std::vector<unsigned char>().swap(stream->packed);
    }
  }

  void WriteStored(PlannedStream& stream) {
    EntryStream producer(fs_, SequenceOf(stream), stream.last, nullptr, &bytesRead_, &cancel_);
    for (;;) {
      const size_t n = producer.Fill(CopyBuffer, kCopyBufferSize);
      if (n == 0) break;
      Emit(CopyBuffer, static_cast<int32_t>(n), true);
      ReportProgress();
      host_.ProcessMessages();
    }
    stream.record.Method = kStreamStored;
    stream.record.PackedSize = stream.record.DecodedSize = static_cast<int32_t>(producer.produced());
    decoded_ += producer.produced();
  }

  // A worker: takes the next LZMA stream not yet taken, waiting until the encoders already
  // running leave room for it.
  void EncodeWaiting() {
    for (;;) {
      const size_t i = nextStream_.fetch_add(1);
      if (i >= streams_.size()) return;
      PlannedStream& stream = *streams_[i];
      if (stream.kind == Kind::kStored) continue;
      const int64_t need = EncoderMemory(stream);
      for (;;) {
        int64_t left = budget_.load();
        if (cancel_.load() || ((left >= need || left == kEncoderBudget) && budget_.compare_exchange_weak(left, left - need)))
          break;
        PauseBriefly();
      }
      try {
        if (cancel_.load()) throw std::runtime_error("cancelled");
        Encode(stream);
      } catch (...) {
        stream.failure = std::current_exception();
        cancel_ = true;
      }
      budget_.fetch_add(need);
      stream.done = true;
    }
  }

  int64_t EncoderMemory(const PlannedStream& stream) const {
    const int64_t dictionary = std::min<int64_t>(settings_.dictionarySize, stream.estimate);
    return dictionary * 23 / 2 + (8 << 20);
  }

  void Encode(PlannedStream& stream) {
    EntryStream producer(fs_, SequenceOf(stream), stream.last, nullptr, &bytesRead_, &cancel_);
    EncoderInput input(producer);
    stream.record.Method = kStreamLzma;
    stream.record.Filter = stream.kind == Kind::kCode && input.TryConverter() ? kFilterX86 : kFilterNone;
    CLzmaEncHandle encoder = LzmaEnc_Create(&g_encoderAlloc);
    if (!encoder) throw std::bad_alloc();
    struct Release {
      CLzmaEncHandle e;
      ~Release() { LzmaEnc_Destroy(e, &g_encoderAlloc, &g_encoderAlloc); }
    } release{encoder};
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = settings_.level;
    props.dictSize = settings_.dictionarySize;
    props.fb = settings_.fastBytes;
    props.reduceSize = static_cast<UInt32>(stream.estimate);
    props.lc = kMaxLc;
    props.lp = kMaxLp;
    props.pb = 0;  // 0.2 % (headers) to 0.4 % (DLLs) smaller than 2
    props.numThreads = 1;
    props.writeEndMark = 0;
    unsigned char encoded[LZMA_PROPS_SIZE];
    SizeT propsSize = LZMA_PROPS_SIZE;
    if (LzmaEnc_SetProps(encoder, &props) != SZ_OK || LzmaEnc_WriteProperties(encoder, encoded, &propsSize) != SZ_OK)
      throw std::runtime_error("The LZMA encoder refused its settings");
    stream.record.Props = encoded[0];
    stream.record.DictionarySize = LoadLe32(encoded + 1);
    Streams io{&input, &stream, this};
    const SRes result =
        LzmaEnc_Encode(encoder, &io.out.base, &io.in.base, &io.progress.base, &g_encoderAlloc, &g_encoderAlloc);
    if (io.failure) std::rethrow_exception(io.failure);
    if (result == SZ_ERROR_MEM) throw std::bad_alloc();
    if (result != SZ_OK) throw std::runtime_error("The LZMA encoder failed");
    RefuseIfTooLarge(std::string(), 0, std::max(producer.produced(), static_cast<int64_t>(stream.packed.size())));
    stream.record.DecodedSize = static_cast<int32_t>(producer.produced());
    stream.record.PackedSize = static_cast<int32_t>(stream.packed.size());
    decodedAll_.fetch_add(producer.produced());
  }

  // The encoder's three callbacks; an exception is kept and the encoder told to stop.
  struct Streams {
    Streams(EncoderInput* i, PlannedStream* st, PackedWriter* w) : input(i), stream(st), self(w) {}
    template <typename Base>
    struct Bridge {
      Base base;
      Streams* s;
    };
    EncoderInput* input;
    PlannedStream* stream;
    PackedWriter* self;
    std::exception_ptr failure;
    int64_t lastIn = 0, lastOut = 0;
    Bridge<ISeqInStream> in{{&Read}, this};
    Bridge<ISeqOutStream> out{{&Write}, this};
    Bridge<ICompressProgress> progress{{&Report}, this};

    static SRes Read(void* p, void* buffer, size_t* size) {
      Streams* s = static_cast<Bridge<ISeqInStream>*>(p)->s;
      try {
        *size = s->input->Read(static_cast<unsigned char*>(buffer), *size);
        return SZ_OK;
      } catch (...) {
        s->failure = std::current_exception();
        *size = 0;
        return SZ_ERROR_READ;
      }
    }
    static size_t Write(void* p, const void* data, size_t size) {
      Streams* s = static_cast<Bridge<ISeqOutStream>*>(p)->s;
      try {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        s->stream->packed.insert(s->stream->packed.end(), bytes, bytes + size);
        return size;
      } catch (...) {
        s->failure = std::current_exception();
        return 0;
      }
    }
    static SRes Report(void* p, UInt64 in, UInt64 out) {
      Streams* s = static_cast<Bridge<ICompressProgress>*>(p)->s;
      s->self->packedIn_.fetch_add(static_cast<int64_t>(in) - s->lastIn);
      s->self->packedOut_.fetch_add(static_cast<int64_t>(out) - s->lastOut);
      s->lastIn = static_cast<int64_t>(in);
      s->lastOut = static_cast<int64_t>(out);
      return s->self->cancel_.load() ? SZ_ERROR_PROGRESS : SZ_OK;
    }
  };

  // Only this thread talks to the host.
  void ReportProgress() {
    const int64_t read = bytesRead_.load();
    while (reported_ < read) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(read - reported_, 1 << 30));
      host_.BytesCopied(n);
      reported_ += n;
    }
    if (packedIn_.load() > 0) host_.PackedProgress(packedIn_.load(), packedOut_.load());
  }

  void Emit(const void* data, int32_t count, bool inCrc) {
    RefuseIfTooLarge(std::string(), 0, position_ + count);
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
  std::vector<unsigned char> compareBuffer_;  // SameContent's second buffer, made once when needed
  std::vector<std::unique_ptr<PlannedStream>> streams_;
  PackedSettings settings_;
  int64_t dataSize_ = 0, decoded_ = 0, position_ = 0, reported_ = 0;
  uint32_t crc_ = 0;
  std::atomic<size_t> nextStream_{0};
  std::atomic<int64_t> budget_{0}, bytesRead_{0}, packedIn_{0}, packedOut_{0}, decodedAll_{0};
  std::atomic<bool> cancel_{false};
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
