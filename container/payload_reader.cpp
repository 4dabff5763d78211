#include "container/payload_reader.h"

#include "pe/pe_format.h"

namespace {

bool ReadWord(const PayloadSource& src, int64_t pos, uint16_t* value) {
  unsigned char b[2];
  if (!ReadWithin(src, pos, b, 2)) return false;
  *value = static_cast<uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool ReadDword(const PayloadSource& src, int64_t pos, uint32_t* value) {
  unsigned char b[4];
  if (!ReadWithin(src, pos, b, 4)) return false;
  *value = LoadLe32(b);
  return true;
}

bool IsHexDigitUpper(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool ReadWithin(const PayloadSource& src, int64_t pos, void* buffer, int32_t count) {
  if (pos < 0 || count < 0 || pos > src.size || count > src.size - pos) return false;
  return src.readAt(src.context, pos, buffer, count);
}

PayloadFault CheckEntryNumbers(const EntryHeader& header) {
  if (header.NameLen < 1 || header.NameLen > kMaxStoredNameLen) return kFaultBadNameLen;
  if (header.Size < 0) return kFaultBadSize;
  return kFaultNone;
}

PayloadFault LocatePayloadStart(const PayloadSource& src, int32_t* start) {
  *start = 0;
  uint16_t word = 0;
  if (!ReadWord(src, 0, &word)) return kFaultRead;
  int64_t pos = 2;
  if (word == pe::kDosMagic) {
    if (!ReadWord(src, offsetof(pe::DosHeader, e_lfanew), &word)) return kFaultRead;
    pos = word;  // only the low 16 bits of e_lfanew, as the stub has always read it
  }
  uint32_t signature = 0;
  if (!ReadDword(src, pos, &signature)) return kFaultRead;
  if (signature != pe::kPeSignature) return kFaultNoPeImage;
  pos += sizeof signature;
  uint16_t sectionCount = 0, optionalSize = 0;
  if (!ReadWord(src, pos + offsetof(pe::CoffFileHeader, NumberOfSections), &sectionCount) ||
      !ReadWord(src, pos + offsetof(pe::CoffFileHeader, SizeOfOptionalHeader), &optionalSize))
    return kFaultRead;
  pos += sizeof(pe::CoffFileHeader) + optionalSize;
  int32_t found = 0;
  for (uint32_t i = 0; i < sectionCount; ++i, pos += sizeof(pe::SectionHeader)) {
    uint32_t rawSize = 0, rawPointer = 0;
    if (!ReadDword(src, pos + offsetof(pe::SectionHeader, SizeOfRawData), &rawSize) ||
        !ReadDword(src, pos + offsetof(pe::SectionHeader, PointerToRawData), &rawPointer))
      return kFaultRead;
    // Signed 32-bit throughout; an end beyond 2^31 - 1 cannot be a payload start.
    const int64_t size = static_cast<int32_t>(rawSize);
    const int64_t end = static_cast<int64_t>(static_cast<int32_t>(rawPointer)) + size;
    if (size > 0 && end <= kLargestContainer && found < end) found = static_cast<int32_t>(end);
  }
  *start = found;
  return kFaultNone;
}

PayloadFault ReadPayloadId(const PayloadSource& src, int32_t start, PayloadId* id) {
  if (start <= 0 || src.size <= static_cast<int64_t>(start) + kPayloadIdSize) return kFaultNoPayload;
  // The first header's position must itself be a signed 32-bit value.
  if (static_cast<int64_t>(start) + kPayloadIdSize > kLargestContainer) return kFaultTooLarge;
  if (!ReadWithin(src, start, id, kPayloadIdSize)) return kFaultRead;
  // The identifier becomes part of a folder name: only what the builder writes is taken.
  if (id->Count > sizeof(id->Chars)) return kFaultBadId;
  for (int i = 0; i < id->Count; ++i) {
    if (!IsHexDigitUpper(id->Chars[i])) return kFaultBadId;
  }
  return kFaultNone;
}

PayloadFault ReadEntry(const PayloadSource& src, int32_t pos, LeadByteTest isLeadByte, EntryHeader* header,
                       char* name, int32_t* next) {
  if (!ReadWithin(src, pos, header, kEntryHeaderSize)) return kFaultRead;
  if (IsEndRecord(*header)) return kFaultNone;
  const PayloadFault fault = CheckEntryNumbers(*header);
  if (fault != kFaultNone) return fault;
  const int64_t following = static_cast<int64_t>(pos) + kEntryHeaderSize + header->NameLen + header->Size + kChecksumSize;
  if (following > kLargestContainer) return kFaultTooLarge;
  if (!ReadWithin(src, static_cast<int64_t>(pos) + kEntryHeaderSize, name, header->NameLen)) return kFaultRead;
  if (!IsSafeStoredName(name, header->NameLen, isLeadByte)) return kFaultUnsafeName;
  *next = static_cast<int32_t>(following);
  return kFaultNone;
}

PayloadFault WalkPayload(const PayloadSource& src, int32_t start, LeadByteTest isLeadByte, char* nameScratch,
                         void (*onEntry)(void* context, const EntryHeader& header), void* context,
                         int32_t* totalSize) {
  *totalSize = 0;
  int64_t total = 0;
  int32_t pos = start + kPayloadIdSize;
  bool ended = false;
  while (pos >= 0 && pos < src.size) {
    EntryHeader header;
    int32_t next = 0;
    const PayloadFault fault = ReadEntry(src, pos, isLeadByte, &header, nameScratch, &next);
    if (fault != kFaultNone) return fault;
    if (IsEndRecord(header)) {
      ended = true;
      break;
    }
    total += header.Size;
    if (total > kLargestContainer) return kFaultTooLarge;
    pos = next;
    if (onEntry) onEntry(context, header);
  }
  *totalSize = static_cast<int32_t>(total);
  if (total == 0) return kFaultNoData;
  if (!ended) return kFaultNoEndRecord;
  return kFaultNone;
}

PayloadFault ReadStoredPayload(const PayloadSource& src, int32_t start, LeadByteTest isLeadByte, char* nameScratch,
                               const EntrySink& sink) {
  for (int32_t pos = start + kPayloadIdSize;;) {
    EntryHeader header;
    int32_t next = 0;
    const PayloadFault fault = ReadEntry(src, pos, isLeadByte, &header, nameScratch, &next);
    if (fault != kFaultNone || IsEndRecord(header)) return fault;
    sink.begin(sink.context, header, nameScratch);
    uint32_t sum = ByteSum(nameScratch, header.NameLen);
    const int64_t data = static_cast<int64_t>(pos) + kEntryHeaderSize + header.NameLen;
    for (int32_t done = 0; done < header.Size;) {
      const int32_t n = header.Size - done < kCopyBufferSize ? header.Size - done : kCopyBufferSize;
      if (!ReadWithin(src, data + done, CopyBuffer, n)) return kFaultRead;
      sink.data(sink.context, CopyBuffer, n);
      sum += ByteSum(CopyBuffer, n);
      done += n;
    }
    unsigned char stored[kChecksumSize];
    if (!ReadWithin(src, data + header.Size, stored, kChecksumSize)) return kFaultRead;
    if (LoadLe32(stored) != sum) return kFaultChecksum;
    sink.end(sink.context, header);
    pos = next;
  }
}
