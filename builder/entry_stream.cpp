#include "builder/entry_stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "container/payload_reader.h"
#include "shared/u_packed.h"

bool IsLaunchFile(const SourceFile& file, const std::string& launchKey) {
  return UpperCaseAnsi(file.codePageName) == launchKey;
}

std::vector<PayloadEntry> CollectEntries(const std::vector<SourceFile>& files, const std::string& launchKey,
                                         const FileIdentity& target, int64_t before) {
  std::vector<PayloadEntry> entries;
  int64_t end = before;
  for (const SourceFile& file : files) {
    // A target inside the source tree must not swallow itself.
    if (file.listed.identity.valid && file.listed.identity == target) continue;
    const int64_t size = file.listed.size;
    end += kEntryHeaderSize + static_cast<int64_t>(file.storedName.size()) + size + kChecksumSize;
    // Sizes and positions are signed 32-bit: refuse what would not fit rather than write a
    // header that disagrees with its data.
    RefuseIfTooLarge(file.path, size, end + kEntryHeaderSize);
    PayloadEntry entry;
    entry.file = &file;
    EntryHeader& h = entry.header;
    h.IsLaunch = IsLaunchFile(file, launchKey) ? 1 : 0;
    h.NameLen = static_cast<int32_t>(file.storedName.size());
    h.Size = static_cast<int32_t>(size);
    h.Time = static_cast<int32_t>(file.listed.dosTime);
    h.Attr = file.listed.attr;
    entries.push_back(entry);
  }
  return entries;
}

EntryStream::EntryStream(FileSystem& fs, std::vector<PayloadEntry*> sequence, bool endRecord, BuildHost* host,
                         std::atomic<int64_t>* bytesRead, const std::atomic<bool>* cancel)
    : fs_(fs), sequence_(std::move(sequence)), endRecord_(endRecord), host_(host), bytesRead_(bytesRead),
      cancel_(cancel) {}

size_t EntryStream::Fill(unsigned char* buffer, size_t want) {
  size_t got = 0;
  while (got < want) {
    if (pendingPos_ < pending_.size()) {
      const size_t n = std::min(want - got, pending_.size() - pendingPos_);
      std::memcpy(buffer + got, pending_.data() + pendingPos_, n);
      pendingPos_ += n;
      got += n;
    } else if (source_ && dataLeft_ > 0) {
      if (cancel_ && cancel_->load()) throw std::runtime_error("cancelled");
      const int32_t n = static_cast<int32_t>(
          std::min<int64_t>({static_cast<int64_t>(want - got), dataLeft_, static_cast<int64_t>(kCopyBufferSize)}));
      source_->Read(buffer + got, n);
      sum_ += ByteSum(buffer + got, n);
      dataLeft_ -= n;
      got += n;
      if (bytesRead_) bytesRead_->fetch_add(n);
      if (host_) host_->BytesCopied(n);
    } else if (source_) {
      FinishEntry();
    } else if (next_ < sequence_.size()) {
      StartEntry(*sequence_[next_++]);
    } else if (endRecord_) {
      pending_.assign(kEntryHeaderSize, 0);
      pendingPos_ = 0;
      endRecord_ = false;
    } else {
      break;
    }
  }
  produced_ += static_cast<int64_t>(got);
  return got;
}

void EntryStream::StartEntry(PayloadEntry& entry) {
  const std::string& name = entry.file->storedName;
  EntryHeader header = entry.header;
  if (entry.copyIndex >= 0) header.IsLaunch = kCopyEntry;
  const unsigned char* h = reinterpret_cast<const unsigned char*>(&header);
  pending_.assign(h, h + kEntryHeaderSize);
  pending_.insert(pending_.end(), name.begin(), name.end());
  pendingPos_ = 0;
  sum_ = ByteSum(name.data(), header.NameLen);
  if (entry.copyIndex >= 0) {
    // The same bytes as the earlier entry, so the same data sum.
    unsigned char tail[kCopyIndexSize + kChecksumSize];
    StoreLe32(static_cast<uint32_t>(entry.copyIndex), tail);
    StoreLe32(sum_ + entry.dataSum, tail + kCopyIndexSize);
    pending_.insert(pending_.end(), tail, tail + sizeof tail);
    if (bytesRead_) bytesRead_->fetch_add(header.Size);
    return;
  }
  entry_ = &entry;
  source_ = fs_.OpenOrThrow(entry.file->path, OpenMode::Read);
  dataLeft_ = header.Size;
  if (host_) host_->FileStarted(name, header.Size);
}

void EntryStream::FinishEntry() {
  const uint32_t dataSum = sum_ - ByteSum(entry_->file->storedName.data(), entry_->header.NameLen);
  // A copy entry already carries the sum read earlier: the file must not have changed since.
  if (entry_->sumKnown && entry_->dataSum != dataSum)
    throw std::runtime_error(entry_->file->path + " changed while it was being packed");
  unsigned char sum[kChecksumSize];
  StoreLe32(sum_, sum);
  pending_.assign(sum, sum + kChecksumSize);
  pendingPos_ = 0;
  source_->Close();
  source_.reset();
  if (host_) host_->ProcessMessages();
}

int64_t WriteStoredPayload(File& target, FileSystem& fs, const std::vector<SourceFile>& files,
                           const std::string& launchKey, const PayloadId& id, BuildHost& host,
                           const WrittenBytes& written) {
  int64_t position = target.position();
  std::vector<PayloadEntry> entries = CollectEntries(files, launchKey, target.Identity(), position + kPayloadIdSize);
  std::vector<PayloadEntry*> sequence;
  for (PayloadEntry& entry : entries) sequence.push_back(&entry);
  EntryStream stream(fs, std::move(sequence), true, &host);
  const auto put = [&](const void* data, int32_t count) {
    written(data, count, position);
    target.Write(data, count);
    position += count;
  };
  put(&id, kPayloadIdSize);
  // Whole buffers across entries: with one write() per header, name or small file a tree of
  // small files spent most of its time entering the kernel.
  while (const size_t n = stream.Fill(CopyBuffer, kCopyBufferSize)) put(CopyBuffer, static_cast<int32_t>(n));
  return position;
}
