// The entry sequence of a payload, one producer for both kinds: each file's header, name,
// data and checksum, copy entries whole, then the end record. A stored payload copies the
// sequence to the file; a compressed one feeds it, in streams, to the encoder.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "builder/source_tree.h"
#include "platform/fs.h"
#include "shared/u_shared.h"

// One entry as it will be stored.
struct PayloadEntry {
  const SourceFile* file = nullptr;
  EntryHeader header{};
  int32_t copyIndex = -1;  // a copy entry: the index of the earlier entry with the same bytes
  uint32_t dataSum = 0;    // the sum of its data bytes, when sumKnown
  bool sumKnown = false;   // read before: the stored bytes must sum alike
};

// The one rule for the launch mark: the file's code-page name, upper-cased, is the key made
// from the executable as typed.
bool IsLaunchFile(const SourceFile& file, const std::string& launchKey);

// The entries of `files`, less the target itself where it lies inside the source. The
// payload holds `before` bytes ahead of the first entry; a file that would take it past the
// 2 GiB limit is refused with a std::runtime_error.
std::vector<PayloadEntry> CollectEntries(const std::vector<SourceFile>& files, const std::string& launchKey,
                                         const FileIdentity& target, int64_t before);

// Produces the bytes of some entries in their order, and optionally the end record after
// them. Safe on its own thread when no host is given: it touches only its entries and reads
// files through its own handles.
class EntryStream {
 public:
  // `host` hears of each entry and its bytes; `bytesRead` counts the data bytes read (copies
  // as their size); `cancel` stops the reading.
  EntryStream(FileSystem& fs, std::vector<PayloadEntry*> sequence, bool endRecord, BuildHost* host,
              std::atomic<int64_t>* bytesRead = nullptr, const std::atomic<bool>* cancel = nullptr);

  // Up to `want` bytes; fewer only at the end.
  size_t Fill(unsigned char* buffer, size_t want);
  int64_t produced() const { return produced_; }

 private:
  void StartEntry(PayloadEntry& entry);
  void FinishEntry();

  FileSystem& fs_;
  const std::vector<PayloadEntry*> sequence_;
  bool endRecord_;
  BuildHost* host_;
  std::atomic<int64_t>* bytesRead_;
  const std::atomic<bool>* cancel_;
  size_t next_ = 0;
  PayloadEntry* entry_ = nullptr;
  std::unique_ptr<File> source_;
  int64_t dataLeft_ = 0;
  uint32_t sum_ = 0;
  std::vector<unsigned char> pending_;
  size_t pendingPos_ = 0;
  int64_t produced_ = 0;
};

// Called with every byte written and the file position it lands on (the PE checksum).
using WrittenBytes = std::function<void(const void* data, int32_t count, int64_t position)>;

// Appends identifier and stored payload of `files` to `target` at its position, where the
// payload begins. Returns the size of the finished file.
int64_t WriteStoredPayload(File& target, FileSystem& fs, const std::vector<SourceFile>& files,
                           const std::string& launchKey, const PayloadId& id, BuildHost& host,
                           const WrittenBytes& written);
