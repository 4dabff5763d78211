// BuildSfx: turns a source directory into a self-extracting file. Portable; what it needs
// of a window (busy notice, message boxes, message pumping, settings, ending the program) it
// asks of the BuildHost that the front end installs, and it reaches the disk through a
// FileSystem, so that a build can run against a disk that fails on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fs.h"

// Process-wide mode flags, set once at start-up from the command line.
extern bool OverwriteTarget;
extern bool ReportSuccess;
extern bool CommandLineMode;
extern bool CompressPayload;  // -z: the payload goes through LZMA behind the compressed stub

// The stub image carried in the builder's own resources, located once at start-up.
struct StubImageRef {
  const void* data = nullptr;
  size_t size = 0;
};
extern StubImageRef StubImage;
extern StubImageRef PackedStubImage;  // the stub with the decoder, for -z

// What a build needs from the program around it. The defaults do nothing and answer every
// question with No: a build nobody watches never destroys anything.
class BuildHost {
 public:
  virtual ~BuildHost() = default;
  virtual void ShowError(const std::string& /*message*/) {}
  virtual void ShowInfo(const std::string& /*message*/) {}
  // True only when the user answers Yes. With defaultYes false, Enter answers No.
  virtual bool AskYesNo(const std::string& /*message*/, bool /*defaultYes*/) { return false; }
  virtual void ProcessMessages() {}
  virtual void ShowBusy(bool /*busy*/) {}
  virtual void SaveSettings(const std::string& /*source*/, const std::string& /*exe*/, const std::string& /*target*/) {}
  virtual void Terminate() {}
  // Progress: a file is about to be packed, and some of its bytes have been.
  virtual void FileStarted(const std::string& /*storedName*/, int64_t /*size*/) {}
  virtual void BytesCopied(int32_t /*count*/) {}
  // A compressed build: `in` bytes have gone into the encoder and `out` bytes come out.
  virtual void PackedProgress(int64_t /*in*/, int64_t /*out*/) {}
};
void SetBuildHost(BuildHost* host);  // null restores the do-nothing host
void SetBuildFileSystem(FileSystem* fs);  // null restores the real disk

enum class BuildOutcome {
  Built,     // the target is complete and the program was asked to end
  Rejected,  // an input was refused with an error message; nothing was written
  Declined,  // the user chose not to overwrite the existing target
};

// Seeds the generator of payload identifiers (32-bit LCG, seed := seed * 134775813 + 1).
void SeedRandom(uint32_t seed);
// A draw in 0 .. n-1: the high 32 bits of n * seed, after the seed is advanced.
uint32_t RandomBelow(uint32_t n);

// Input/output failures are thrown (InOutError, or std::runtime_error for a file that a
// produced file cannot carry). The file is written under a temporary name beside the target
// and renamed into place at the end: a failed build leaves the target as it was and removes
// the temporary file. With SOURCE_DATE_EPOCH set, the identifier is derived from the stored
// entries and later file times are clamped to that moment, so equal trees give equal files.
BuildOutcome BuildSfx(const std::string& sourceDir, const std::string& executable, const std::string& target);

// The temporary file of the build under way, empty between builds: a fixed buffer that a
// signal handler may read to remove it.
const char* TemporaryTargetPath();
