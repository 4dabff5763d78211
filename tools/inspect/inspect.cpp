#include "tools/inspect/inspect.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iomanip>
#include <memory>
#include <sstream>
#include <vector>

#include "container/packed_reader.h"
#include "container/payload_reader.h"
#include "platform/fs.h"

namespace {

const char* FaultText(PayloadFault fault) {
  switch (fault) {
    case kFaultNone: return "no fault";
    case kFaultRead: return "the file ends early or cannot be read";
    case kFaultNoPeImage: return "no PE image header at the start of the file";
    case kFaultNoPayload: return "no payload behind the stub image";
    case kFaultBadId: return "the payload identifier is malformed";
    case kFaultBadNameLen: return "an entry has an impossible name length";
    case kFaultBadSize: return "an entry has a negative size";
    case kFaultTooLarge: return "an entry reaches beyond 2,147,483,647 bytes";
    case kFaultUnsafeName: return "an entry's name is not a plain relative path";
    case kFaultNoEndRecord: return "the entries run off the end of the file without an end record";
    case kFaultNoData: return "the entries hold no file data";
    case kFaultChecksum: return "an entry's checksum does not match its bytes";
    case kFaultPackedDamaged: return "the compressed payload is damaged (CRC-32, chunks or sizes)";
    case kFaultPackedUnsupported: return "the compressed payload has an unknown version or properties";
    case kFaultPackedStream: return "the compressed stream is corrupt, ends early or runs past its size";
  }
  return "unknown fault";
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A produced file open for reading, seen through the payload reader's interface.
class ProducedFile {
 public:
  bool Open(const std::string& path, std::string* error) {
    int64_t size = 0;
    int err = NativeFileSystem().Open(path, OpenMode::Read, &file_);
    if (err == kErrNone) err = file_->GetSize(&size);
    if (err != kErrNone) {
      *error = path + ": " + InOutErrorText(err);
      return false;
    }
    source_.context = file_.get();
    source_.readAt = &ProducedFile::ReadAt;
    source_.size = size;
    return true;
  }
  const PayloadSource& source() const { return source_; }

 private:
  static bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
    return static_cast<File*>(context)->ReadAt(pos, buffer, count) == kErrNone;
  }
  std::unique_ptr<File> file_;
  PayloadSource source_{};
};

struct Entry {
  EntryHeader header;
  std::string name;
  int32_t pos;  // of the header
  int64_t DataPos() const { return static_cast<int64_t>(pos) + kEntryHeaderSize + header.NameLen; }
};

// Everything the stub checks before it writes: payload start, identifier, the walk.
struct Payload {
  int32_t start = 0;
  PayloadId id{};
  int32_t totalSize = 0;
  std::vector<Entry> entries;
};

PayloadFault ReadPayload(const PayloadSource& src, Payload* payload) {
  PayloadFault fault = LocatePayloadStart(src, &payload->start);
  if (fault == kFaultNone && payload->start == 0) fault = kFaultNoPayload;
  if (fault == kFaultNone) fault = ReadPayloadId(src, payload->start, &payload->id);
  std::vector<char> name(kMaxStoredNameLen);
  if (fault == kFaultNone)
    fault = WalkPayload(src, payload->start, nullptr, name.data(), nullptr, nullptr, &payload->totalSize);
  if (fault != kFaultNone) return fault;
  for (int32_t pos = payload->start + kPayloadIdSize;;) {
    Entry entry;
    int32_t next = 0;
    fault = ReadEntry(src, pos, nullptr, &entry.header, name.data(), &next);
    if (fault != kFaultNone) return fault;
    if (IsEndRecord(entry.header)) break;
    entry.name.assign(name.data(), entry.header.NameLen);
    entry.pos = pos;
    payload->entries.push_back(entry);
    pos = next;
  }
  return kFaultNone;
}

// Feeds the entry's data in chunks to `sink` and compares the stored checksum.
template <typename Sink>
PayloadFault ReadEntryData(const PayloadSource& src, const Entry& entry, Sink sink) {
  static std::vector<unsigned char> buffer(kCopyBufferSize);
  uint32_t sum = ByteSum(entry.name.data(), entry.header.NameLen);
  for (int32_t done = 0; done < entry.header.Size;) {
    const int32_t n = std::min(entry.header.Size - done, kCopyBufferSize);
    if (!src.readAt(src.context, entry.DataPos() + done, buffer.data(), n)) return kFaultRead;
    if (!sink(buffer.data(), n)) return kFaultRead;
    sum += ByteSum(buffer.data(), n);
    done += n;
  }
  unsigned char stored[4];
  if (!src.readAt(src.context, entry.DataPos() + entry.header.Size, stored, 4)) return kFaultRead;
  return LoadLe32(stored) == sum ? kFaultNone : kFaultChecksum;
}

std::string DosTimeText(int32_t dosTime) {
  const uint32_t t = static_cast<uint32_t>(dosTime);
  const unsigned date = t >> 16, time = t & 0xFFFF;
  char text[32];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return text;
}

std::string AttrText(uint32_t attr) {
  std::string text;
  text += attr & kAttrReadOnly ? 'R' : '-';
  text += attr & kAttrHidden ? 'H' : '-';
  text += attr & kAttrSystem ? 'S' : '-';
  text += attr & kAttrArchive ? 'A' : '-';
  return text;
}

int Fail(std::ostream& err, const std::string& path, const std::string& what) {
  err << path << ": " << what << '\n';
  return kInspectFailed;
}

bool OpenPayload(const std::string& path, ProducedFile* file, Payload* payload, std::ostream& err) {
  std::string error;
  if (!file->Open(path, &error)) {
    err << error << '\n';
    return false;
  }
  const PayloadFault fault = ReadPayload(file->source(), payload);
  if (fault != kFaultNone) {
    Fail(err, path, FaultText(fault));
    return false;
  }
  return true;
}

// A compressed payload is read by decoding it: the entries come one after the other with
// their data, and the whole stream is checked as it goes.
struct PackedFile {
  PackedLayout layout{};
  PayloadId id{};
  int32_t start = 0;
};

// 1 when the file holds a compressed payload (checked, in `packed`), 0 when it holds a
// stored one or none at all (the stored reader then tells), -1 after reporting a fault.
int OpenPacked(const std::string& path, ProducedFile* file, PackedFile* packed, std::ostream& err) {
  std::string error;
  if (!file->Open(path, &error)) {
    err << error << '\n';
    return -1;
  }
  const PayloadSource& src = file->source();
  if (LocatePayloadStart(src, &packed->start) != kFaultNone || packed->start == 0) return 0;
  if (ReadPayloadId(src, packed->start, &packed->id) != kFaultNone || !HasPackedMarker(src, packed->start)) return 0;
  const PayloadFault fault = CheckPackedPayload(src, packed->start, &packed->layout, nullptr);
  if (fault != kFaultNone) {
    Fail(err, path, FaultText(fault));
    return -1;
  }
  return 1;
}

struct EntryVisitor {
  std::function<void(const EntryHeader&, const std::string&)> begin;
  std::function<bool(const unsigned char*, int32_t)> data;
  std::function<bool(const EntryHeader&)> end;
  // A copy entry: the data of entry `source`, whose bytes sum to `dataSum`.
  std::function<bool(const EntryHeader&, const std::string&, int32_t source, uint32_t dataSum)> copy;
  bool failed = false;
};

PayloadFault DecodeEntries(const ProducedFile& file, const PackedFile& packed, EntryVisitor* visitor) {
  static std::vector<char> name(kMaxStoredNameLen);
  static const PackedMemory memory = {[](size_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }};
  const EntrySink sink = {
      visitor,
      [](void* c, const EntryHeader& h, const char* n) {
        auto* v = static_cast<EntryVisitor*>(c);
        if (!v->failed && v->begin) v->begin(h, std::string(n, h.NameLen));
      },
      [](void* c, const void* bytes, int32_t count) {
        auto* v = static_cast<EntryVisitor*>(c);
        if (!v->failed && v->data && !v->data(static_cast<const unsigned char*>(bytes), count)) v->failed = true;
      },
      [](void* c, const EntryHeader& h) {
        auto* v = static_cast<EntryVisitor*>(c);
        if (!v->failed && v->end && !v->end(h)) v->failed = true;
      },
      [](void* c, const EntryHeader& h, const char* n, int32_t source, uint32_t dataSum) {
        auto* v = static_cast<EntryVisitor*>(c);
        if (!v->failed && v->copy && !v->copy(h, std::string(n, h.NameLen), source, dataSum)) v->failed = true;
      }};
  return UnpackPayload(file.source(), packed.layout, nullptr, name.data(), memory, sink);
}

std::string EntryLine(const EntryHeader& h, const std::string& name) {
  std::ostringstream line;
  line << (h.IsLaunch ? '*' : ' ') << ' ' << std::setw(10) << h.Size << ' ' << DosTimeText(h.Time) << ' '
       << AttrText(h.Attr) << ' ' << name << '\n';
  return line.str();
}

std::string PackedSummary(const PackedFile& packed) {
  const int32_t packedBytes = packed.layout.payloadEnd - packed.start - kPayloadIdSize;
  std::ostringstream text;
  text << "compressed (LZMA, dictionary " << (packed.layout.dictionarySize >> 10) << " KiB): " << packed.layout.dataSize
       << " bytes of data stored in " << packedBytes << " bytes, " << packed.layout.storedBytes
       << " of them left uncompressed";
  return text.str();
}

int ListPacked(const std::string& path, const ProducedFile& file, const PackedFile& packed, std::ostream& out,
               std::ostream& err) {
  std::string lines;
  int32_t files = 0;
  EntryVisitor visitor;
  visitor.begin = [&](const EntryHeader& h, const std::string& name) {
    lines += EntryLine(h, name);
    ++files;
  };
  visitor.copy = [&](const EntryHeader& h, const std::string& name, int32_t, uint32_t) {
    lines += "=" + EntryLine(h, name).substr(1);  // marked as a copy of an earlier file
    ++files;
    return true;
  };
  const PayloadFault fault = DecodeEntries(file, packed, &visitor);
  if (fault != kFaultNone) return Fail(err, path, FaultText(fault));
  out << "identifier " << std::string(packed.id.Chars, packed.id.Count) << ", payload at " << packed.start << ", "
      << files << " files, " << packed.layout.dataSize << " bytes\n"
      << PackedSummary(packed) << '\n'
      << lines;
  return kInspectOk;
}

int List(const std::string& path, std::ostream& out, std::ostream& err) {
  ProducedFile file;
  PackedFile packed;
  const int kind = OpenPacked(path, &file, &packed, err);
  if (kind < 0) return kInspectFailed;
  if (kind > 0) return ListPacked(path, file, packed, out, err);
  Payload payload;
  if (!OpenPayload(path, &file, &payload, err)) return kInspectFailed;
  out << "identifier " << std::string(payload.id.Chars, payload.id.Count) << ", payload at " << payload.start << ", "
      << payload.entries.size() << " files, " << payload.totalSize << " bytes\n";
  for (const Entry& e : payload.entries) out << EntryLine(e.header, e.name);
  return kInspectOk;
}

int VerifyPacked(const std::string& path, const ProducedFile& file, const PackedFile& packed, std::ostream& out,
                 std::ostream& err) {
  bool launch = false;
  int32_t files = 0;
  EntryVisitor visitor;
  visitor.begin = [&](const EntryHeader& h, const std::string&) {
    launch = launch || h.IsLaunch != 0;
    ++files;
  };
  // The reader has matched the copy's checksum against its source's data.
  visitor.copy = [&](const EntryHeader&, const std::string&, int32_t, uint32_t) {
    ++files;
    return true;
  };
  const PayloadFault fault = DecodeEntries(file, packed, &visitor);
  if (fault != kFaultNone) return Fail(err, path, FaultText(fault));
  if (!launch) return Fail(err, path, "no entry is marked to be launched");
  out << path << ": OK, " << files << " files, " << packed.layout.dataSize << " bytes, compressed\n";
  return kInspectOk;
}

int Verify(const std::string& path, std::ostream& out, std::ostream& err) {
  ProducedFile file;
  PackedFile packed;
  const int kind = OpenPacked(path, &file, &packed, err);
  if (kind < 0) return kInspectFailed;
  if (kind > 0) return VerifyPacked(path, file, packed, out, err);
  Payload payload;
  if (!OpenPayload(path, &file, &payload, err)) return kInspectFailed;
  bool launch = false;
  for (const Entry& e : payload.entries) {
    const PayloadFault fault = ReadEntryData(file.source(), e, [](const unsigned char*, int32_t) { return true; });
    if (fault != kFaultNone) return Fail(err, path, std::string(FaultText(fault)) + " (" + e.name + ")");
    launch = launch || e.header.IsLaunch != 0;
  }
  if (!launch) return Fail(err, path, "no entry is marked to be launched");
  out << path << ": OK, " << payload.entries.size() << " files, " << payload.totalSize << " bytes\n";
  return kInspectOk;
}
std::string HostPath(const std::string& dir, const std::string& storedName) {
  std::string path = dir.empty() ? std::string(".") : dir;
  if (path.back() != '/') path += '/';
  for (char c : storedName) path += c == '\\' ? '/' : c;
  return path;
}

// The produced file mapped whole: the check walk and the extraction then read memory, and
// the kernel reads each page of the file once, in large pieces, with no seek.
class MappedFile {
 public:
  ~MappedFile() {
    if (data_) munmap(data_, size_);
  }
  bool Open(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      *error = path + ": " + std::strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    void* data = size_ ? mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    close(fd);
    if (data == MAP_FAILED) {
      *error = path + ": " + std::strerror(errno);
      return false;
    }
    data_ = static_cast<unsigned char*>(data);
    source_ = {this, &MappedFile::ReadAt, static_cast<int64_t>(size_)};
    return true;
  }
  const PayloadSource& source() const { return source_; }
  const unsigned char* data() const { return data_; }

 private:
  // The payload reader has checked pos and count against the size.
  static bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
    std::memcpy(buffer, static_cast<MappedFile*>(context)->data_ + pos, count);
    return true;
  }
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  PayloadSource source_{};
};

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct timespec DosTimeToTimespec(int32_t dosTime) {
  const uint32_t t = static_cast<uint32_t>(dosTime);
  std::tm tm{};
  tm.tm_year = 80 + static_cast<int>(t >> 25);
  tm.tm_mon = static_cast<int>((t >> 21) & 15) - 1;
  tm.tm_mday = static_cast<int>((t >> 16) & 31);
  tm.tm_hour = static_cast<int>((t >> 11) & 31);
  tm.tm_min = static_cast<int>((t >> 5) & 63);
  tm.tm_sec = static_cast<int>(t & 31) * 2;
  tm.tm_isdst = -1;
  return {std::mktime(&tm), 0};
}

// Creates the folders of `path` (its part up to the last '/') from the level where it
// leaves the previous entry's folder; entries of one folder come together.
void MakeEntryFolders(const std::string& path, size_t rootLength, std::string* lastFolder) {
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  if (folder == *lastFolder) return;
  size_t common = rootLength;
  for (size_t i = rootLength; i < folder.size() && i < lastFolder->size() && folder[i] == (*lastFolder)[i]; ++i) {
    if (folder[i] == '/') common = i + 1;
  }
  for (size_t i = common; i < folder.size(); ++i) {
    if (folder[i] == '/') mkdir(folder.substr(0, i).c_str(), 0777);
  }
  *lastFolder = folder;
}

// Names are checked as each header is decoded, before its file is created; a fault midway
// leaves what was written so far, as the stub does.
int ExtractPacked(const std::string& path, const std::string& dir, const ProducedFile& file, const PackedFile& packed,
                  std::ostream& out, std::ostream& err) {
  const std::string root = HostPath(dir, "");
  for (size_t i = 1; i < root.size(); ++i) {
    if (root[i] == '/') mkdir(root.substr(0, i).c_str(), 0777);
  }
  std::string lastFolder = root, target, error;
  std::vector<std::string> targets;  // per entry in stream order, to find a copy's source
  std::vector<unsigned char> copyBuffer;  // made at the first copy entry, kept for the next
  FilePtr output;
  EntryVisitor visitor;
  visitor.begin = [&](const EntryHeader&, const std::string& name) {
    target = HostPath(dir, name);
    MakeEntryFolders(target, root.size(), &lastFolder);
    output.reset(std::fopen(target.c_str(), "wb"));
    if (!output) {
      error = target + ": " + std::strerror(errno);
      visitor.failed = true;
    }
  };
  visitor.data = [&](const unsigned char* data, int32_t n) {
    if (std::fwrite(data, 1, n, output.get()) == static_cast<size_t>(n)) return true;
    error = target + ": " + std::strerror(errno);
    return false;
  };
  visitor.end = [&](const EntryHeader& h) {
    if (std::fclose(output.release()) != 0) {
      error = target + ": " + std::strerror(errno);
      return false;
    }
    const struct timespec when = DosTimeToTimespec(h.Time);
    const struct timespec times[2] = {when, when};
    if (when.tv_sec != static_cast<time_t>(-1)) utimensat(AT_FDCWD, target.c_str(), times, 0);
    out << target << '\n';
    targets.push_back(target);
    return true;
  };
  // A copy is read back from its source's file, written earlier in this run.
  visitor.copy = [&](const EntryHeader& h, const std::string& name, int32_t source, uint32_t dataSum) {
    const std::string from = targets[source];
    visitor.begin(h, name);
    FilePtr input(std::fopen(from.c_str(), "rb"));
    if (visitor.failed || !input) {
      if (error.empty()) error = from + ": " + std::strerror(errno);
      return false;
    }
    if (copyBuffer.empty()) copyBuffer.resize(kCopyBufferSize);
    uint32_t sum = 0;
    int32_t left = h.Size;
    while (left > 0) {
      const size_t n = std::fread(copyBuffer.data(), 1, std::min(left, kCopyBufferSize), input.get());
      if (n == 0) break;
      sum += ByteSum(copyBuffer.data(), static_cast<int32_t>(n));
      if (!visitor.data(copyBuffer.data(), static_cast<int32_t>(n))) return false;
      left -= static_cast<int32_t>(n);
    }
    if (left != 0 || sum != dataSum) {
      error = from + ": changed while it was being copied";
      return false;
    }
    return visitor.end(h);
  };
  const PayloadFault fault = DecodeEntries(file, packed, &visitor);
  if (!error.empty()) {
    err << error << '\n';
    return kInspectFailed;
  }
  if (fault != kFaultNone) return Fail(err, path, FaultText(fault));
  return kInspectOk;
}

int Extract(const std::string& path, const std::string& dir, std::ostream& out, std::ostream& err) {
  {
    ProducedFile produced;
    PackedFile packed;
    const int kind = OpenPacked(path, &produced, &packed, err);
    if (kind < 0) return kInspectFailed;
    if (kind > 0) return ExtractPacked(path, dir, produced, packed, out, err);
  }
  MappedFile file;
  std::string error;
  if (!file.Open(path, &error)) {
    err << error << '\n';
    return kInspectFailed;
  }
  Payload payload;
  // The walk has checked every name before anything is written.
  const PayloadFault fault = ReadPayload(file.source(), &payload);
  if (fault != kFaultNone) return Fail(err, path, FaultText(fault));
  const std::string root = HostPath(dir, "");
  for (size_t i = 1; i < root.size(); ++i) {
    if (root[i] == '/') mkdir(root.substr(0, i).c_str(), 0777);
  }
  std::string lastFolder = root;
  std::string listing;
  for (const Entry& e : payload.entries) {
    const std::string target = HostPath(dir, e.name);
    MakeEntryFolders(target, root.size(), &lastFolder);
    const unsigned char* data = file.data() + e.DataPos();
    const uint32_t sum = ByteSum(e.name.data(), e.header.NameLen) + ByteSum(data, e.header.Size);
    if (LoadLe32(data + e.header.Size) != sum)
      return Fail(err, path, std::string(FaultText(kFaultChecksum)) + " (" + e.name + ")");
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(err, target, std::strerror(errno));
    const bool written = WriteAll(fd, data, static_cast<size_t>(e.header.Size));
    const int writeError = errno;
    const struct timespec when = DosTimeToTimespec(e.header.Time);
    const struct timespec times[2] = {when, when};
    if (when.tv_sec != static_cast<time_t>(-1)) futimens(fd, times);
    if (close(fd) != 0 || !written) return Fail(err, target, std::strerror(written ? errno : writeError));
    listing += target;
    listing += '\n';
  }
  out << listing;
  return kInspectOk;
}

int Usage(std::ostream& err) {
  err << "Usage: kesdra-inspect list|verify <file>\n"
         "       kesdra-inspect extract <file> [dir]\n";
  return kInspectUsage;
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2) return Usage(err);
  const std::string& command = args[0];
  if (command == "list" && args.size() == 2) return List(args[1], out, err);
  if (command == "verify" && args.size() == 2) return Verify(args[1], out, err);
  if (command == "extract" && args.size() <= 3) return Extract(args[1], args.size() == 3 ? args[2] : ".", out, err);
  return Usage(err);
}
