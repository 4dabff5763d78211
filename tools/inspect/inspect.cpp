#include "tools/inspect/inspect.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <memory>
#include <sstream>
#include <vector>

#include "container/packed_reader.h"
#include "container/payload_reader.h"
#include "pe/pe_format.h"
#include "pe/pe_image.h"
#include "platform/cp1252.h"
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

constexpr const char* kNotKesdra = "not a self-extracting file made by Kesdra";

int Fail(std::ostream& err, const std::string& path, const std::string& what) {
  err << path << ": " << what << '\n';
  return kInspectFailed;
}

// A produced file open for reading, seen through the payload reader's interface, with what
// both readers need to start: where the payload is, its identifier and its kind.
class ProducedFile {
 public:
  // False, with the reason reported, when the file cannot be read or holds no payload.
  bool Open(const std::string& path, std::ostream& err) {
    int64_t size = 0;
    int code = NativeFileSystem().Open(path, OpenMode::Read, &file_);
    if (code == kErrNone) code = file_->GetSize(&size);
    if (code != kErrNone) return Fail(err, path, InOutErrorText(code)), false;
    source_ = {file_.get(), &ProducedFile::ReadAt, size};
    PayloadFault fault = LocatePayloadStart(source_, &start_);
    if (fault == kFaultNone) fault = ReadPayloadId(source_, start_, &id_);
    // A foreign program has no payload behind its image, or other bytes there.
    if (fault == kFaultNoPeImage || fault == kFaultNoPayload || fault == kFaultBadId ||
        (fault == kFaultRead && size < 64))
      return Fail(err, path, kNotKesdra), false;
    if (fault != kFaultNone) return Fail(err, path, FaultText(fault)), false;
    packed_ = HasPackedMarker(source_, start_);
    if (packed_ && (fault = CheckPackedPayload(source_, start_, &layout_, nullptr)) != kFaultNone)
      return Fail(err, path, FaultText(fault)), false;
    return true;
  }

  const PayloadSource& source() const { return source_; }
  int32_t start() const { return start_; }
  std::string Identifier() const { return std::string(id_.Chars, id_.Count); }
  bool packed() const { return packed_; }
  const PackedLayout& layout() const { return layout_; }

  // "signed" when the PE certificate table directory names a table inside the file.
  std::string SignatureText() const {
    pe::FileSource pe;
    pe::PeImage image;
    if (!pe.Attach(*file_) || !pe::ParsePeImage(pe, &image, nullptr) || image.directories.size() <= pe::kDirSecurity)
      return "not signed";
    const pe::DataDirectory& table = image.directories[pe::kDirSecurity];
    if (table.Size == 0 || !pe::FitsWithin(table.VirtualAddress, table.Size, image.fileSize)) return "not signed";
    return "signed (certificate table of " + std::to_string(table.Size) + " bytes)";
  }

 private:
  static bool ReadAt(void* context, int64_t pos, void* buffer, int32_t count) {
    return static_cast<File*>(context)->ReadAt(pos, buffer, count) == kErrNone;
  }
  std::unique_ptr<File> file_;
  PayloadSource source_{};
  int32_t start_ = 0;
  PayloadId id_{};
  bool packed_ = false;
  PackedLayout layout_{};
};

// What a command does with the entries, whichever reader delivers them. A callback that
// fails sets `failed` with the reason in `error`; later entries are then left alone.
struct EntryVisitor {
  std::function<void(const EntryHeader&, const std::string& name)> begin;
  std::function<bool(const unsigned char*, int32_t)> data;
  std::function<bool(const EntryHeader&)> end;
  // A copy entry: the data of entry `source` (counted over all entries), which sums to `dataSum`.
  std::function<bool(const EntryHeader&, const std::string& name, int32_t source, uint32_t dataSum)> copy;
  bool failed = false;
  std::string error;
  std::string current;  // the entry being read, in UTF-8, to name it in a fault
  bool utf8Names = false;  // the payload's names are UTF-8 already (else code page 1252)
};

// Names reach the commands in UTF-8, whichever form the payload stores.
void SetCurrent(EntryVisitor* v, const char* name, int32_t length) {
  v->current.assign(name, length);
  if (!v->utf8Names) v->current = Cp1252ToUtf8(v->current);
}

EntrySink SinkOf(EntryVisitor* visitor) {
  return {visitor,
          [](void* c, const EntryHeader& h, const char* n) {
            auto* v = static_cast<EntryVisitor*>(c);
            SetCurrent(v, n, h.NameLen);
            if (!v->failed && v->begin) v->begin(h, v->current);
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
            SetCurrent(v, n, h.NameLen);
            if (!v->failed && v->copy && !v->copy(h, v->current, source, dataSum)) v->failed = true;
          }};
}

// A stored payload is walked whole, every header and name checked, before its first entry
// is handed on: as the stub checks it before it writes.
PayloadFault ReadStored(const PayloadSource& src, int32_t start, char* name, const EntrySink& sink) {
  int32_t total = 0;
  const PayloadFault fault = WalkPayload(src, start, nullptr, name, nullptr, nullptr, &total);
  return fault != kFaultNone ? fault : ReadStoredPayload(src, start, nullptr, name, sink);
}

// Runs `visitor` over the entries of either kind; a fault names the entry it was met in.
// 0 when every entry went through; else the fault or the visitor's error is reported.
int VisitEntries(const std::string& path, const ProducedFile& file, EntryVisitor* visitor, std::ostream& err) {
  static std::vector<char> name(kMaxStoredNameLen);
  static const PackedMemory memory = {[](size_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }};
  visitor->utf8Names = file.packed() && HasUtf8Names(file.layout());
  const EntrySink sink = SinkOf(visitor);
  const PayloadFault fault = file.packed()
                                 ? UnpackPayload(file.source(), file.layout(), nullptr, name.data(), memory, sink)
                                 : ReadStored(file.source(), file.start(), name.data(), sink);
  if (visitor->failed) return Fail(err, path, visitor->error);
  if (fault == kFaultChecksum) return Fail(err, path, std::string(FaultText(fault)) + " (" + visitor->current + ")");
  if (fault != kFaultNone) return Fail(err, path, FaultText(fault));
  return kInspectOk;
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

// `mark` is '*' for the entry to launch, '=' for a copy of an earlier file.
std::string EntryLine(char mark, const EntryHeader& h, const std::string& name) {
  std::ostringstream line;
  line << mark << ' ' << std::setw(10) << h.Size << ' ' << DosTimeText(h.Time) << ' ' << AttrText(h.Attr) << ' '
       << name << '\n';
  return line.str();
}

std::string FilesText(int32_t count) { return std::to_string(count) + (count == 1 ? " file" : " files"); }

// Counts the entries and the data bytes, and whether one is marked to be launched.
struct Tally {
  int32_t files = 0;
  int64_t bytes = 0;
  bool launch = false;
  void Add(const EntryHeader& h) { ++files, bytes += h.Size, launch = launch || h.IsLaunch != 0; }
};

int List(const std::string& path, std::ostream& out, std::ostream& err) {
  ProducedFile file;
  if (!file.Open(path, err)) return kInspectFailed;
  std::string lines;
  Tally tally;
  EntryVisitor visitor;
  visitor.begin = [&](const EntryHeader& h, const std::string& name) {
    lines += EntryLine(h.IsLaunch ? '*' : ' ', h, name);
    tally.Add(h);
  };
  visitor.copy = [&](const EntryHeader& h, const std::string& name, int32_t, uint32_t) {
    lines += EntryLine('=', h, name);
    tally.Add(h);
    return true;
  };
  if (VisitEntries(path, file, &visitor, err) != kInspectOk) return kInspectFailed;
  out << "identifier " << file.Identifier() << ", payload at " << file.start() << ", " << FilesText(tally.files)
      << ", " << tally.bytes << " bytes, " << file.SignatureText() << '\n';
  if (file.packed()) {
    const PackedLayout& layout = file.layout();
    out << "compressed (LZMA, dictionary " << (layout.dictionarySize >> 10) << " KiB): " << layout.dataSize
        << " bytes of data stored in " << (layout.payloadEnd - file.start() - kPayloadIdSize) << " bytes, "
        << layout.storedBytes << " of them left uncompressed\n";
  }
  out << lines;
  return kInspectOk;
}

int Verify(const std::string& path, std::ostream& out, std::ostream& err) {
  ProducedFile file;
  if (!file.Open(path, err)) return kInspectFailed;
  Tally tally;
  EntryVisitor visitor;
  visitor.begin = [&](const EntryHeader& h, const std::string&) { tally.Add(h); };
  // The reader has matched a copy's checksum against its source's data.
  visitor.copy = [&](const EntryHeader& h, const std::string&, int32_t, uint32_t) { return tally.Add(h), true; };
  if (VisitEntries(path, file, &visitor, err) != kInspectOk) return kInspectFailed;
  if (!tally.launch) return Fail(err, path, "no entry is marked to be launched");
  out << path << ": OK, " << FilesText(tally.files) << ", " << tally.bytes << " bytes"
      << (file.packed() ? ", compressed" : "") << '\n';
  return kInspectOk;
}

// Unpacks into `dir` as carefully as the stub: names were checked by the reader, every
// folder on an entry's way that exists already must not be a link, and files are created
// without following one. A fault midway leaves the entries finished before it; the entry
// it was met in is removed.
class Extractor {
 public:
  Extractor(const std::string& dir, std::ostream& out) : fs_(NativeFileSystem()), root_(dir), out_(out) {
    if (root_.empty()) root_ = ".";
    if (root_.back() != '/') root_ += '/';
  }

  int Run(const std::string& path, const ProducedFile& file, std::ostream& err) {
    if (!MakeFolders(root_, 1)) return Fail(err, path, visitor_.error);
    visitor_.begin = [this](const EntryHeader&, const std::string& name) { Begin(name); };
    visitor_.data = [this](const unsigned char* data, int32_t n) { return Write(data, n); };
    visitor_.end = [this](const EntryHeader& h) { return End(h); };
    visitor_.copy = [this](const EntryHeader& h, const std::string& name, int32_t source, uint32_t sum) {
      return Copy(h, name, source, sum);
    };
    const int status = VisitEntries(path, file, &visitor_, err);
    if (output_) {  // begun, never finished: what it holds is not the entry
      output_.reset();
      fs_.Remove(target_);
    }
    return status;
  }

 private:
  bool Refuse(const std::string& what) {
    visitor_.error = what;
    visitor_.failed = true;
    return false;
  }

  // Creates the folders of `folder` (which ends in "/") from position `from` on, refusing
  // any that exists as a link.
  bool MakeFolders(const std::string& folder, size_t from) {
    for (size_t i = from; i < folder.size(); ++i) {
      if (folder[i] != '/') continue;
      const std::string part = folder.substr(0, i);
      if (i >= root_.size() && fs_.IsLink(part)) return Refuse(part + ": is a link; nothing is written through links");
      if (!fs_.DirExists(part) && !fs_.CreateOneDirectory(part) && !fs_.DirExists(part))
        return Refuse(part + ": the folder cannot be created");
    }
    return true;
  }

  void Begin(const std::string& name) {
    std::string host = name;
    std::replace(host.begin(), host.end(), '\\', '/');
    target_ = root_ + host;
    const std::string folder = target_.substr(0, target_.rfind('/') + 1);
    if (folder != lastFolder_) {
      if (!MakeFolders(folder, root_.size())) return;
      lastFolder_ = folder;
    }
    if (fs_.IsLink(target_)) return void(Refuse(target_ + ": is a link; nothing is written through links"));
    if (const int code = fs_.Open(target_, OpenMode::CreateNoLink, &output_)) Refuse(target_ + ": " + InOutErrorText(code));
    position_ = 0;
  }

  bool Write(const unsigned char* data, int32_t n) {
    if (const int code = output_->WriteAt(position_, data, n)) return Refuse(target_ + ": " + InOutErrorText(code));
    position_ += n;
    return true;
  }

  bool End(const EntryHeader& h) {
    int code = output_->SetTime(static_cast<uint32_t>(h.Time));
    const int closed = output_->Close();
    output_.reset();
    if (code == kErrNone) code = closed;
    if (code != kErrNone) return Refuse(target_ + ": " + InOutErrorText(code));
    out_ << target_ << '\n';
    targets_.push_back(target_);
    return true;
  }

  // A copy is read back from its source's file, written earlier in this run.
  bool Copy(const EntryHeader& h, const std::string& name, int32_t source, uint32_t dataSum) {
    const std::string from = targets_[static_cast<size_t>(source)];
    std::unique_ptr<File> input;
    if (const int code = fs_.Open(from, OpenMode::Read, &input)) return Refuse(from + ": " + InOutErrorText(code));
    Begin(name);
    if (visitor_.failed) return false;
    copyBuffer_.resize(kCopyBufferSize);
    uint32_t sum = 0;
    for (int32_t done = 0; done < h.Size;) {
      const int32_t n = std::min(h.Size - done, kCopyBufferSize);
      if (input->ReadAt(done, copyBuffer_.data(), n) != kErrNone)
        return Refuse(from + ": changed while it was being copied");
      sum += ByteSum(copyBuffer_.data(), n);
      if (!Write(copyBuffer_.data(), n)) return false;
      done += n;
    }
    if (sum != dataSum) return Refuse(from + ": changed while it was being copied");
    return End(h);
  }

  FileSystem& fs_;
  std::string root_;
  std::ostream& out_;
  EntryVisitor visitor_;
  std::string target_, lastFolder_;
  std::vector<unsigned char> copyBuffer_;  // the readers use CopyBuffer while a copy is made
  std::unique_ptr<File> output_;
  int64_t position_ = 0;
  std::vector<std::string> targets_;  // per entry in stream order, to find a copy's source
};

int Extract(const std::string& path, const std::string& dir, std::ostream& out, std::ostream& err) {
  ProducedFile file;
  if (!file.Open(path, err)) return kInspectFailed;
  return Extractor(dir, out).Run(path, file, err);
}

void Usage(std::ostream& out) {
  out << "Usage: kesdra-inspect list|verify <file>\n"
         "       kesdra-inspect extract <file> [dir]\n"
         "       kesdra-inspect --help | -? | --version\n"
         "\n"
         "list     the entries of a file made by kesdra: '*' marks the one to launch, '=' a copy of an\n"
         "         earlier file; the first line also says whether the file carries a signature\n"
         "verify   reads and checks every entry as the stub would, without writing anything\n"
         "extract  unpacks into dir (default: the current folder); names come out as UTF-8, and no\n"
         "         existing link on an entry's path is followed\n"
         "\n"
         "Exit status: 0 success; 1 the file cannot be read, holds no payload, is damaged, or cannot\n"
         "be unpacked; 2 usage error.\n";
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-?")) return Usage(out), kInspectOk;
  if (args.size() == 1 && args[0] == "--version") return out << "kesdra-inspect " << KESDRA_VERSION << '\n', kInspectOk;
  const std::string command = args.empty() ? std::string() : args[0];
  if (command == "list" && args.size() == 2) return List(args[1], out, err);
  if (command == "verify" && args.size() == 2) return Verify(args[1], out, err);
  if (command == "extract" && (args.size() == 2 || args.size() == 3))
    return Extract(args[1], args.size() == 3 ? args[2] : ".", out, err);
  Usage(err);
  return kInspectUsage;
}
