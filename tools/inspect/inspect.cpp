#include "tools/inspect/inspect.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <memory>
#include <sstream>

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

int List(const std::string& path, std::ostream& out, std::ostream& err) {
  ProducedFile file;
  Payload payload;
  if (!OpenPayload(path, &file, &payload, err)) return kInspectFailed;
  out << "identifier " << std::string(payload.id.Chars, payload.id.Count) << ", payload at " << payload.start << ", "
      << payload.entries.size() << " files, " << payload.totalSize << " bytes\n";
  for (const Entry& e : payload.entries) {
    out << (e.header.IsLaunch ? '*' : ' ') << ' ' << std::setw(10) << e.header.Size << ' '
        << DosTimeText(e.header.Time) << ' ' << AttrText(e.header.Attr) << ' ' << e.name << '\n';
  }
  return kInspectOk;
}

int Verify(const std::string& path, std::ostream& out, std::ostream& err) {
  ProducedFile file;
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

int Extract(const std::string& path, const std::string& dir, std::ostream& out, std::ostream& err) {
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
