// One line on the terminal, redrawn in place, so that a long build does not look hung.
// Nothing at all when standard error is not a terminal.
#pragma once

#include <chrono>
#include <string>

#include "builder/build_sfx.h"

class ProgressLine : public BuildHost {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled), start_(Clock::now()), lastDraw_(start_) {}
  ~ProgressLine() override { Clear(); }
  void FileStarted(const std::string& storedName, int64_t size) override;
  void BytesCopied(int32_t count) override;
  void PackedProgress(int64_t in, int64_t out) override;
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  void MaybeDraw();

  bool enabled_;
  bool drawn_ = false;
  long long files_ = 0;
  long long bytes_ = 0;
  long long packedIn_ = 0, packedOut_ = 0;  // a compressed build: encoder input and output so far
  std::string current_;
  Clock::time_point start_, lastDraw_;
};
