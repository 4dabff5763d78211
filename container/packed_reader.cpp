#include "container/packed_reader.h"

#include "LzmaDec.h"
#include "shared/u_x86.h"

namespace {

// CopyBuffer is split: the front half holds LZMA input, the back half stored chunk bytes.
constexpr int32_t kHalfBuffer = kCopyBufferSize / 2;

void CopyBytes(void* to, const void* from, int32_t count) {
  unsigned char* t = static_cast<unsigned char*>(to);
  const unsigned char* f = static_cast<const unsigned char*>(from);
  for (int32_t i = 0; i < count; ++i) t[i] = f[i];
}

// The CRC-32 of [from, to), continuing from `crc`.
PayloadFault AddCrc(const PayloadSource& src, int32_t from, int32_t to, uint32_t* crc, void (*pump)()) {
  for (int32_t pos = from; pos < to;) {
    const int32_t n = to - pos < kCopyBufferSize ? to - pos : kCopyBufferSize;
    if (!ReadWithin(src, pos, CopyBuffer, n)) return kFaultRead;
    *crc = Crc32(*crc, CopyBuffer, n);
    pos += n;
    if (pump) pump();
  }
  return kFaultNone;
}

PayloadFault ReadChunkHeader(const PayloadSource& src, int32_t pos, int32_t end, ChunkHeader* chunk) {
  if (end - pos < kChunkHeaderSize) return kFaultPackedDamaged;
  if (!ReadWithin(src, pos, chunk, kChunkHeaderSize)) return kFaultRead;
  if (chunk->Kind != kChunkLzma && chunk->Kind != kChunkStored) return kFaultPackedDamaged;
  if (chunk->Length < 1 || chunk->Length > kMaxChunkLength || chunk->Length > end - pos - kChunkHeaderSize)
    return kFaultPackedDamaged;
  if (chunk->Kind == kChunkLzma && chunk->At != 0) return kFaultPackedDamaged;
  return kFaultNone;
}

// Stored chunks must lie inside the decoded stream, in order and without overlap, and with
// the LZMA part they must make up the whole of it.
PayloadFault CheckChunks(const PayloadSource& src, PackedLayout* layout) {
  const PackedTrailer& t = layout->trailer;
  int32_t storedTotal = 0, nextStored = 0;
  layout->lzmaBytes = 0;
  for (int32_t pos = layout->chunksBegin; pos < layout->chunksEnd;) {
    ChunkHeader chunk;
    const PayloadFault fault = ReadChunkHeader(src, pos, layout->chunksEnd, &chunk);
    if (fault != kFaultNone) return fault;
    if (chunk.Kind == kChunkStored) {
      // Lengths and positions are below 2^31, so their sum cannot wrap in unsigned arithmetic.
      const uint32_t end = static_cast<uint32_t>(chunk.At) + static_cast<uint32_t>(chunk.Length);
      if (chunk.At < nextStored || end > static_cast<uint32_t>(t.DecodedSize)) return kFaultPackedDamaged;
      nextStored = static_cast<int32_t>(end);
      storedTotal += chunk.Length;
    } else {
      layout->lzmaBytes += chunk.Length;
    }
    pos += kChunkHeaderSize + chunk.Length;
  }
  if (storedTotal + t.LzmaDecoded != t.DecodedSize) return kFaultPackedDamaged;
  if ((layout->lzmaBytes == 0) != (t.LzmaDecoded == 0)) return kFaultPackedDamaged;
  return kFaultNone;
}

bool IsOurHeader(const PackedHeader& h) {
  return h.Zero == 0 && h.Marker == kPackedMarker && h.Magic[0] == 'K' && h.Magic[1] == 'Z' && h.Magic[2] == 'P';
}

// The decoded stream, fed in pieces of any size: the entry sequence of the stored layout.
class EntryParser {
 public:
  EntryParser(LeadByteTest isLeadByte, char* name, const EntrySink& sink, int32_t dataSize, uint8_t version,
              const PackedMemory& memory)
      : isLeadByte_(isLeadByte), name_(name), sink_(sink), dataSize_(dataSize), version_(version), memory_(memory) {}
  ~EntryParser() {
    if (records_) memory_.release(records_);
  }

  PayloadFault Feed(const unsigned char* p, int32_t n) {
    while (n > 0) {
      int32_t used = 0;
      const PayloadFault fault = Step(p, n, &used);
      if (fault != kFaultNone) return fault;
      p += used;
      n -= used;
    }
    return kFaultNone;
  }

  PayloadFault Finish() const {
    if (phase_ != kDone) return kFaultNoEndRecord;
    if (dataSeen_ != dataSize_) return kFaultPackedDamaged;
    return kFaultNone;
  }

 private:
  enum Phase { kHeader, kName, kData, kIndex, kSum, kDone };

  // What a copy entry may refer to: every earlier entry's size (-1 for a copy) and data sum.
  struct Record {
    int32_t size;
    uint32_t dataSum;
  };

  // Takes bytes toward the current piece; true when the piece is complete.
  bool Gather(void* into, int32_t want, const unsigned char* p, int32_t n, int32_t* used) {
    const int32_t take = want - got_ < n ? want - got_ : n;
    CopyBytes(static_cast<unsigned char*>(into) + got_, p, take);
    got_ += take;
    *used = take;
    if (got_ < want) return false;
    got_ = 0;
    return true;
  }

  PayloadFault Step(const unsigned char* p, int32_t n, int32_t* used) {
    switch (phase_) {
      case kHeader:
        if (Gather(&header_, kEntryHeaderSize, p, n, used)) return HeaderDone();
        return kFaultNone;
      case kName:
        if (Gather(name_, header_.NameLen, p, n, used)) return NameDone();
        return kFaultNone;
      case kData: {
        const int32_t take = dataLeft_ < n ? dataLeft_ : n;
        sink_.data(sink_.context, p, take);
        sum_ += ByteSum(p, take);
        dataLeft_ -= take;
        *used = take;
        if (dataLeft_ == 0) phase_ = kSum;
        return kFaultNone;
      }
      case kIndex:
        if (Gather(stored_, kCopyIndexSize, p, n, used)) return IndexDone();
        return kFaultNone;
      case kSum:
        if (!Gather(stored_, kChecksumSize, p, n, used)) return kFaultNone;
        return SumDone();
      case kDone: break;
    }
    return kFaultPackedStream;  // bytes after the end record
  }

  PayloadFault HeaderDone() {
    if (IsEndRecord(header_)) {
      phase_ = kDone;
      return kFaultNone;
    }
    const PayloadFault fault = CheckEntryNumbers(header_);
    if (fault != kFaultNone) return fault;
    if (header_.IsLaunch == kCopyEntry && version_ < 2) return kFaultPackedDamaged;
    // The trailer's total is the progress bar's whole: no entry may go beyond it.
    if (header_.Size > dataSize_ - dataSeen_) return kFaultPackedDamaged;
    dataSeen_ += header_.Size;
    phase_ = kName;
    return kFaultNone;
  }

  PayloadFault NameDone() {
    const bool safe = version_ >= 3 ? IsSafeUtf8Name(name_, header_.NameLen)
                                    : IsSafeStoredName(name_, header_.NameLen, isLeadByte_);
    if (!safe) return kFaultUnsafeName;
    sum_ = ByteSum(name_, header_.NameLen);
    if (header_.IsLaunch == kCopyEntry) {
      phase_ = kIndex;
      return kFaultNone;
    }
    dataLeft_ = header_.Size;
    sink_.begin(sink_.context, header_, name_);
    phase_ = dataLeft_ > 0 ? kData : kSum;
    return kFaultNone;
  }

  // The source must be an earlier ordinary entry of the same size; copies are marked -1.
  PayloadFault IndexDone() {
    const uint32_t index = LoadLe32(stored_);
    if (index >= static_cast<uint32_t>(count_) || records_[index].size != header_.Size) return kFaultPackedDamaged;
    source_ = static_cast<int32_t>(index);
    sum_ += records_[index].dataSum;
    phase_ = kSum;
    return kFaultNone;
  }

  PayloadFault SumDone() {
    if (LoadLe32(stored_) != sum_) return kFaultChecksum;
    const bool copy = header_.IsLaunch == kCopyEntry;
    const uint32_t dataSum = sum_ - ByteSum(name_, header_.NameLen);
    if (!Remember(copy ? -1 : header_.Size, dataSum)) return kFaultPackedUnsupported;
    if (copy) sink_.copy(sink_.context, header_, name_, source_, dataSum);
    else sink_.end(sink_.context, header_);
    phase_ = kHeader;
    return kFaultNone;
  }

  // False when no memory is left for the table.
  bool Remember(int32_t size, uint32_t dataSum) {
    if (count_ == capacity_) {
      const int32_t capacity = capacity_ ? capacity_ * 2 : 1024;
      Record* grown = static_cast<Record*>(memory_.allocate(static_cast<size_t>(capacity) * sizeof(Record)));
      if (!grown) return false;
      CopyBytes(grown, records_, count_ * static_cast<int32_t>(sizeof(Record)));
      if (records_) memory_.release(records_);
      records_ = grown;
      capacity_ = capacity;
    }
    records_[count_++] = {size, dataSum};
    return true;
  }

  LeadByteTest isLeadByte_;
  char* name_;
  const EntrySink& sink_;
  const int32_t dataSize_;
  const uint8_t version_;
  const PackedMemory& memory_;
  Record* records_ = nullptr;
  int32_t count_ = 0, capacity_ = 0, source_ = 0;
  Phase phase_ = kHeader;
  EntryHeader header_;
  unsigned char stored_[kChecksumSize];
  int32_t got_ = 0, dataLeft_ = 0, dataSeen_ = 0;
  uint32_t sum_ = 0;
};

// Walks the chunks of one kind in file order.
class ChunkCursor {
 public:
  ChunkCursor(const PayloadSource& src, const PackedLayout& layout, uint8_t kind)
      : src_(src), pos_(layout.chunksBegin), end_(layout.chunksEnd), kind_(kind) {}

  // Moves to the next chunk of this kind; `left` is 0 when there is none.
  PayloadFault Next() {
    left = 0;
    while (pos_ < end_) {
      ChunkHeader chunk;
      const PayloadFault fault = ReadChunkHeader(src_, pos_, end_, &chunk);
      if (fault != kFaultNone) return fault;
      pos_ += kChunkHeaderSize;
      const int32_t data = pos_;
      pos_ += chunk.Length;
      if (chunk.Kind == kind_) {
        dataPos = data;
        left = chunk.Length;
        at = chunk.At;
        return kFaultNone;
      }
    }
    return kFaultNone;
  }

  // Reads up to `room` bytes of the current chunk, moving to the next one when it is used up.
  PayloadFault Take(unsigned char* into, int32_t room, int32_t* got) {
    *got = 0;
    if (left == 0) return kFaultNone;
    const int32_t n = left < room ? left : room;
    if (!ReadWithin(src_, dataPos, into, n)) return kFaultRead;
    dataPos += n;
    left -= n;
    *got = n;
    return kFaultNone;
  }

  int32_t left = 0;
  int32_t at = 0;
  int32_t dataPos = 0;

 private:
  const PayloadSource& src_;
  int32_t pos_, end_;
  uint8_t kind_;
};

// Decodes at most `want` bytes into the dictionary from the input in CopyBuffer[*inPos,
// inLen), starting over at its front when it is full; `produced` new bytes from `start`.
PayloadFault DecodeStep(CLzmaDec* dec, int32_t want, int32_t inLen, int32_t* inPos, SizeT* start, int32_t* produced) {
  if (dec->dicPos == dec->dicBufSize) dec->dicPos = 0;
  *start = dec->dicPos;
  const SizeT room = dec->dicBufSize - *start;
  const SizeT limit = *start + (static_cast<SizeT>(want) < room ? static_cast<SizeT>(want) : room);
  SizeT inSize = inLen - *inPos;
  ELzmaStatus status;
  const SRes res = LzmaDec_DecodeToDic(dec, limit, CopyBuffer + *inPos, &inSize, LZMA_FINISH_ANY, &status);
  *inPos += static_cast<int32_t>(inSize);
  *produced = static_cast<int32_t>(dec->dicPos - *start);
  if (res != SZ_OK) return kFaultPackedStream;
  if (*produced == 0 && inSize == 0) return kFaultPackedStream;  // an end mark, or no way forward
  return kFaultNone;
}

struct AllocBridge {
  ISzAlloc base;
  const PackedMemory* memory;
};

void* BridgeAlloc(void* p, size_t size) { return static_cast<AllocBridge*>(p)->memory->allocate(size); }
void BridgeFree(void* p, void* block) {
  if (block) static_cast<AllocBridge*>(p)->memory->release(block);
}

class Unpacker {
 public:
  Unpacker(const PayloadSource& src, const PackedLayout& layout, EntryParser& parser)
      : src_(src), layout_(layout), parser_(parser), lzma_(src, layout, kChunkLzma), stored_(src, layout, kChunkStored) {}

  PayloadFault Run(const PackedMemory& memory) {
    AllocBridge bridge{{BridgeAlloc, BridgeFree}, &memory};
    LzmaDec_Construct(&dec_);
    if (LzmaDec_AllocateProbs(&dec_, layout_.header.Props, LZMA_PROPS_SIZE, &bridge.base) != SZ_OK)
      return kFaultPackedUnsupported;
    dec_.dicBufSize = layout_.dictionaryBytes;
    dec_.dic = static_cast<Byte*>(memory.allocate(dec_.dicBufSize));
    PayloadFault fault = dec_.dic ? Decode() : kFaultPackedUnsupported;
    if (dec_.dic) memory.release(dec_.dic);
    dec_.dic = nullptr;
    LzmaDec_FreeProbs(&dec_, &bridge.base);
    return fault;
  }

 private:
  PayloadFault Decode() {
    LzmaDec_Init(&dec_);
    PayloadFault fault = lzma_.Next();
    if (fault == kFaultNone) fault = stored_.Next();
    const int32_t total = layout_.trailer.DecodedSize;
    while (fault == kFaultNone && position_ < total) {
      if (stored_.left > 0 && stored_.at == position_) {
        fault = CopyStoredChunk();
      } else if (stored_.left > 0 && stored_.at < position_) {
        fault = kFaultPackedDamaged;
      } else {
        fault = DecodeLzma((stored_.left > 0 ? stored_.at : total) - position_);
      }
    }
    if (fault != kFaultNone) return fault;
    // Anything left over means the stream is longer than its declared size.
    if (stored_.left > 0 || lzma_.left > 0 || inPos_ < inLen_ || lzmaOut_ != layout_.trailer.LzmaDecoded)
      return kFaultPackedStream;
    if (lzmaOut_ > 0 && dec_.code != 0) return kFaultPackedStream;  // the range coder did not end cleanly
    return parser_.Finish();
  }

  PayloadFault CopyStoredChunk() {
    unsigned char* buffer = CopyBuffer + kHalfBuffer;
    while (stored_.left > 0) {
      int32_t got = 0;
      PayloadFault fault = stored_.Take(buffer, kHalfBuffer, &got);
      if (fault == kFaultNone) fault = parser_.Feed(buffer, got);
      if (fault != kFaultNone) return fault;
      position_ += got;
    }
    return stored_.Next();
  }

  PayloadFault DecodeLzma(int32_t count) {
    if (count > layout_.trailer.LzmaDecoded - lzmaOut_) return kFaultPackedDamaged;
    while (count > 0) {
      if (inPos_ == inLen_) {
        PayloadFault fault = RefillInput();
        if (fault != kFaultNone) return fault;
      }
      SizeT start = 0;
      int32_t produced = 0;
      PayloadFault fault = DecodeStep(&dec_, count, inLen_, &inPos_, &start, &produced);
      if (fault == kFaultNone) fault = parser_.Feed(dec_.dic + start, produced);
      if (fault != kFaultNone) return fault;
      count -= produced;
      position_ += produced;
      lzmaOut_ += produced;
    }
    return kFaultNone;
  }

  PayloadFault RefillInput() {
    inPos_ = inLen_ = 0;
    if (lzma_.left == 0) {
      const PayloadFault fault = lzma_.Next();
      if (fault != kFaultNone) return fault;
      if (lzma_.left == 0) return kFaultPackedStream;  // the LZMA stream ends early
    }
    int32_t got = 0;
    const PayloadFault fault = lzma_.Take(CopyBuffer, kHalfBuffer, &got);
    if (fault != kFaultNone) return fault;
    inLen_ = got;
    if (lzma_.left == 0) return lzma_.Next();
    return kFaultNone;
  }

  const PayloadSource& src_;
  const PackedLayout& layout_;
  EntryParser& parser_;
  ChunkCursor lzma_, stored_;
  CLzmaDec dec_;
  int32_t position_ = 0;  // in the decoded stream
  int32_t lzmaOut_ = 0;
  int32_t inPos_ = 0, inLen_ = 0;
};

// The decoder's five property bytes, which a stream record keeps apart (Reserved between).
void RecordProps(const StreamRecord& r, uint8_t props[LZMA_PROPS_SIZE]) {
  props[0] = r.Props;
  for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(r.DictionarySize >> (8 * i));
}

// Version 3: the streams one after another, through one dictionary. LZMA input fills the
// front half of CopyBuffer; stored streams and converted x86 output use the back half.
class StreamUnpacker {
 public:
  StreamUnpacker(const PayloadSource& src, const PackedLayout& layout, EntryParser& parser)
      : src_(src), layout_(layout), parser_(parser) {}

  PayloadFault Run(const PackedMemory& memory) {
    AllocBridge bridge{{BridgeAlloc, BridgeFree}, &memory};
    LzmaDec_Construct(&dec_);
    PayloadFault fault = kFaultNone;
    if (layout_.dictionaryBytes > 0) {
      // Probabilities for the largest lc + lp that any stream may declare.
      const uint8_t largest[LZMA_PROPS_SIZE] = {kMaxLc, 0, 0, 1, 0};
      if (LzmaDec_AllocateProbs(&dec_, largest, LZMA_PROPS_SIZE, &bridge.base) != SZ_OK)
        return kFaultPackedUnsupported;
      dec_.dicBufSize = layout_.dictionaryBytes;
      dec_.dic = static_cast<Byte*>(memory.allocate(dec_.dicBufSize));
      if (!dec_.dic) fault = kFaultPackedUnsupported;
    }
    int32_t pos = layout_.chunksBegin;
    for (int32_t i = 0; fault == kFaultNone && i < layout_.streamCount; ++i) {
      const StreamRecord& r = layout_.streams[i];
      fault = r.Method == kStreamStored ? CopyStored(pos, r.PackedSize) : DecodeStream(pos, r);
      pos += r.PackedSize;
    }
    if (dec_.dic) memory.release(dec_.dic);
    dec_.dic = nullptr;
    LzmaDec_FreeProbs(&dec_, &bridge.base);
    return fault != kFaultNone ? fault : parser_.Finish();
  }

 private:
  PayloadFault CopyStored(int32_t pos, int32_t size) {
    unsigned char* buffer = CopyBuffer + kHalfBuffer;
    while (size > 0) {
      const int32_t n = size < kHalfBuffer ? size : kHalfBuffer;
      if (!ReadWithin(src_, pos, buffer, n)) return kFaultRead;
      const PayloadFault fault = parser_.Feed(buffer, n);
      if (fault != kFaultNone) return fault;
      pos += n;
      size -= n;
    }
    return kFaultNone;
  }

  PayloadFault DecodeStream(int32_t pos, const StreamRecord& r) {
    uint8_t props[LZMA_PROPS_SIZE];
    RecordProps(r, props);
    if (LzmaProps_Decode(&dec_.prop, props, LZMA_PROPS_SIZE) != SZ_OK) return kFaultPackedUnsupported;
    LzmaDec_Init(&dec_);
    x86_ = X86Converter();
    held_ = 0;
    int32_t inPos = 0, inLen = 0, inLeft = r.PackedSize, left = r.DecodedSize;
    while (left > 0) {
      if (inPos == inLen) {
        if (inLeft == 0) return kFaultPackedStream;  // the stream ends early
        inLen = inLeft < kHalfBuffer ? inLeft : kHalfBuffer;
        if (!ReadWithin(src_, pos, CopyBuffer, inLen)) return kFaultRead;
        pos += inLen;
        inLeft -= inLen;
        inPos = 0;
      }
      SizeT start = 0;
      int32_t produced = 0;
      PayloadFault fault = DecodeStep(&dec_, left, inLen, &inPos, &start, &produced);
      if (fault == kFaultNone)
        fault = r.Filter == kFilterX86 ? FeedConverted(dec_.dic + start, produced) : parser_.Feed(dec_.dic + start, produced);
      if (fault != kFaultNone) return fault;
      left -= produced;
    }
    // Input left over, or a range coder that did not end cleanly: not the stream that was written.
    if (inPos < inLen || inLeft > 0 || dec_.code != 0) return kFaultPackedStream;
    return held_ > 0 ? parser_.Feed(CopyBuffer + kHalfBuffer, held_) : kFaultNone;
  }

  // The dictionary must keep the bytes as decoded: they are converted in a copy. Up to four
  // bytes wait for the next piece, and at the stream's end go out as they are.
  PayloadFault FeedConverted(const unsigned char* p, int32_t n) {
    unsigned char* buffer = CopyBuffer + kHalfBuffer;
    while (n > 0) {
      const int32_t take = kHalfBuffer - held_ < n ? kHalfBuffer - held_ : n;
      CopyBytes(buffer + held_, p, take);
      p += take;
      n -= take;
      held_ += take;
      const int32_t done = ConvertX86(&x86_, false, buffer, held_);
      const PayloadFault fault = parser_.Feed(buffer, done);
      if (fault != kFaultNone) return fault;
      held_ -= done;
      CopyBytes(buffer, buffer + done, held_);
    }
    return kFaultNone;
  }

  const PayloadSource& src_;
  const PackedLayout& layout_;
  EntryParser& parser_;
  CLzmaDec dec_;
  X86Converter x86_;
  int32_t held_ = 0;
};

bool PropsAllowed(const uint8_t props[5], uint32_t* dictionarySize, uint32_t maxDictionary) {
  unsigned d = props[0];
  const unsigned lc = d % 9;
  d /= 9;
  const unsigned lp = d % 5, pb = d / 5;
  *dictionarySize = LoadLe32(props + 1);
  return pb <= kMaxPb && lp <= kMaxLp && lc <= kMaxLc && *dictionarySize >= 4096 && *dictionarySize <= maxDictionary;
}

// Versions 1 and 2: the trailer is the file's last 16 bytes.
PayloadFault CheckChunkedPayload(const PayloadSource& src, int32_t headerPos, int32_t size, PackedLayout* layout,
                                 void (*pump)()) {
  const PackedHeader& h = layout->header;
  if (h.Reserved != 0 || !PropsAllowed(h.Props, &layout->dictionarySize, kMaxChunkedDictionarySize))
    return kFaultPackedUnsupported;
  layout->chunksBegin = headerPos + kPackedHeaderSize;
  layout->chunksEnd = size - kPackedTrailerSize;
  if (!ReadWithin(src, layout->chunksEnd, &layout->trailer, kPackedTrailerSize)) return kFaultRead;
  const PackedTrailer& t = layout->trailer;
  uint32_t crc = 0;
  PayloadFault fault = AddCrc(src, headerPos, size - kChecksumSize, &crc, pump);
  if (fault != kFaultNone) return fault;
  if (crc != t.Crc) return kFaultPackedDamaged;
  // Copy entries count toward DataSize without taking room in the decoded stream.
  if (t.DecodedSize < kEntryHeaderSize || t.LzmaDecoded < 0 || t.LzmaDecoded > t.DecodedSize || t.DataSize < 0 ||
      (h.Version == 1 && t.DataSize > t.DecodedSize))
    return kFaultPackedDamaged;
  layout->payloadEnd = size;
  layout->decodedSize = t.DecodedSize;
  layout->dataSize = t.DataSize;
  layout->storedBytes = t.DecodedSize - t.LzmaDecoded;
  layout->streamCount = 1;
  const int32_t decoded = t.LzmaDecoded;
  layout->dictionaryBytes =
      decoded > 0 && static_cast<uint32_t>(decoded) < layout->dictionarySize ? decoded : layout->dictionarySize;
  if (t.DataSize == 0) return kFaultNoData;
  return CheckChunks(src, layout);
}

PayloadFault CheckStreamRecord(const StreamRecord& r, PackedLayout* layout) {
  if (r.Reserved != 0 || r.PackedSize < 1 || r.DecodedSize < 1) return kFaultPackedDamaged;
  if (r.Method == kStreamStored) {
    if (r.Filter != 0 || r.Props != 0 || r.DictionarySize != 0 || r.PackedSize != r.DecodedSize)
      return kFaultPackedDamaged;
    layout->storedBytes += r.DecodedSize;
    return kFaultNone;
  }
  if (r.Method != kStreamLzma || r.Filter > kFilterX86) return kFaultPackedUnsupported;
  uint8_t props[LZMA_PROPS_SIZE];
  RecordProps(r, props);
  uint32_t dictionary = 0;
  if (!PropsAllowed(props, &dictionary, kMaxDictionarySize)) return kFaultPackedUnsupported;
  // One allocation serves every stream: as large as the largest needs, never above its output.
  const uint32_t needed = static_cast<uint32_t>(r.DecodedSize) < dictionary ? r.DecodedSize : dictionary;
  if (needed > layout->dictionaryBytes) layout->dictionaryBytes = needed;
  if (dictionary > layout->dictionarySize) layout->dictionarySize = dictionary;
  return kFaultNone;
}

// Version 3: the header says where the payload ends; the stream table stands before the trailer.
PayloadFault CheckStreams(const PayloadSource& src, int32_t headerPos, int32_t size, PackedLayout* layout,
                          void (*pump)()) {
  StreamHeader h;
  if (!ReadWithin(src, headerPos, &h, kPackedHeaderSize)) return kFaultRead;
  if (h.Reserved[0] != 0 || h.Reserved[1] != 0 || h.Reserved[2] != 0) return kFaultPackedUnsupported;
  const int32_t smallest = kPackedHeaderSize + kStreamRecordSize + kPackedTrailerSize;
  if (h.PayloadSize < smallest || h.PayloadSize > size - headerPos) return kFaultPackedDamaged;
  layout->payloadEnd = headerPos + h.PayloadSize;
  const int32_t trailerPos = layout->payloadEnd - kPackedTrailerSize;
  StreamTrailer t;
  if (!ReadWithin(src, trailerPos, &t, kPackedTrailerSize)) return kFaultRead;
  uint32_t crc = 0;
  PayloadFault fault = AddCrc(src, headerPos, headerPos + kPayloadSizeAt, &crc, pump);
  if (fault == kFaultNone) fault = AddCrc(src, headerPos + kPayloadSizeAt + 4, layout->payloadEnd - kChecksumSize, &crc, pump);
  if (fault != kFaultNone) return fault;
  if (crc != t.Crc) return kFaultPackedDamaged;
  if (t.StreamCount < 1 || t.StreamCount > kMaxStreams || t.DecodedSize < kEntryHeaderSize || t.DataSize < 0)
    return kFaultPackedDamaged;
  layout->chunksBegin = headerPos + kPackedHeaderSize;
  layout->chunksEnd = trailerPos - t.StreamCount * kStreamRecordSize;
  if (layout->chunksEnd < layout->chunksBegin) return kFaultPackedDamaged;
  if (!ReadWithin(src, layout->chunksEnd, layout->streams, t.StreamCount * kStreamRecordSize)) return kFaultRead;
  layout->streamCount = t.StreamCount;
  layout->decodedSize = t.DecodedSize;
  layout->dataSize = t.DataSize;
  layout->storedBytes = 0;
  layout->dictionarySize = layout->dictionaryBytes = 0;
  int64_t packed = 0, decoded = 0;
  for (int32_t i = 0; i < t.StreamCount; ++i) {
    fault = CheckStreamRecord(layout->streams[i], layout);
    if (fault != kFaultNone) return fault;
    packed += layout->streams[i].PackedSize;
    decoded += layout->streams[i].DecodedSize;
  }
  // The streams fill the room between header and table exactly, and decode to the whole sequence.
  if (packed != layout->chunksEnd - layout->chunksBegin || decoded != t.DecodedSize) return kFaultPackedDamaged;
  if (t.DataSize == 0) return kFaultNoData;
  return kFaultNone;
}

// The header of any version; `oldest` is the first version taken.
PayloadFault ReadPackedHeader(const PayloadSource& src, int32_t start, uint8_t oldest, PackedLayout* layout) {
  if (src.size > kLargestContainer) return kFaultTooLarge;
  const int32_t size = static_cast<int32_t>(src.size);
  if (start <= 0 || start > size - kPayloadIdSize - kPackedHeaderSize - kPackedTrailerSize) return kFaultNoPayload;
  if (!ReadWithin(src, start + kPayloadIdSize, &layout->header, kPackedHeaderSize)) return kFaultRead;
  const PackedHeader& h = layout->header;
  if (!IsOurHeader(h)) return kFaultNoPayload;
  if (h.Version < oldest || h.Version > kPackedVersion) return kFaultPackedUnsupported;
  return kFaultNone;
}

}  // namespace

bool PackedPropsAllowed(const uint8_t props[5], uint32_t* dictionarySize) {
  return PropsAllowed(props, dictionarySize, kMaxDictionarySize);
}

bool HasPackedMarker(const PayloadSource& src, int32_t start) {
  unsigned char head[5];
  if (!ReadWithin(src, static_cast<int64_t>(start) + kPayloadIdSize, head, 5)) return false;
  return head[0] == 0 && static_cast<int32_t>(LoadLe32(head + 1)) == kPackedMarker;
}

PayloadFault CheckPackedPayload(const PayloadSource& src, int32_t start, PackedLayout* layout, void (*pump)()) {
  const PayloadFault fault = ReadPackedHeader(src, start, kFirstPackedVersion, layout);
  if (fault != kFaultNone) return fault;
  const int32_t headerPos = start + kPayloadIdSize, size = static_cast<int32_t>(src.size);
  return layout->header.Version == kPackedVersion ? CheckStreams(src, headerPos, size, layout, pump)
                                                  : CheckChunkedPayload(src, headerPos, size, layout, pump);
}

PayloadFault CheckStreamPayload(const PayloadSource& src, int32_t start, PackedLayout* layout, void (*pump)()) {
  const PayloadFault fault = ReadPackedHeader(src, start, kPackedVersion, layout);
  if (fault != kFaultNone) return fault;
  return CheckStreams(src, start + kPayloadIdSize, static_cast<int32_t>(src.size), layout, pump);
}

PayloadFault UnpackPayload(const PayloadSource& src, const PackedLayout& layout, LeadByteTest isLeadByte,
                           char* nameScratch, const PackedMemory& memory, const EntrySink& sink) {
  if (layout.header.Version == kPackedVersion) return UnpackStreamPayload(src, layout, nameScratch, memory, sink);
  EntryParser parser(isLeadByte, nameScratch, sink, layout.dataSize, layout.header.Version, memory);
  Unpacker unpacker(src, layout, parser);
  return unpacker.Run(memory);
}

PayloadFault UnpackStreamPayload(const PayloadSource& src, const PackedLayout& layout, char* nameScratch,
                                 const PackedMemory& memory, const EntrySink& sink) {
  EntryParser parser(nullptr, nameScratch, sink, layout.dataSize, layout.header.Version, memory);
  StreamUnpacker unpacker(src, layout, parser);
  return unpacker.Run(memory);
}
