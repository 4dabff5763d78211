#include "progress_line.h"

#include <cstdio>

namespace {
// A few redraws a second keep the line alive without costing the build anything measurable.
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
}

void ProgressLine::FileStarted(const std::string& storedName, int64_t) {
  if (!enabled_) return;
  ++files_;
  current_ = storedName;
  MaybeDraw();
}

void ProgressLine::BytesCopied(int32_t count) {
  if (!enabled_) return;
  bytes_ += count;
  MaybeDraw();
}

void ProgressLine::PackedProgress(int64_t in, int64_t out) {
  if (!enabled_) return;
  packedIn_ = in;
  packedOut_ = out;
  MaybeDraw();
}

void ProgressLine::MaybeDraw() {
  const auto now = Clock::now();
  if (now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double mib = bytes_ / 1048576.0;
  std::string name = current_;
  if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
  char packed[48] = "";
  if (packedIn_ > 0)
    std::snprintf(packed, sizeof packed, ", packed to %.1f %%", 100.0 * static_cast<double>(packedOut_) / packedIn_);
  std::fprintf(stderr, "\r\033[K%lld files, %.1f MiB, %.1f MiB/s%s  %s", files_, mib, seconds > 0 ? mib / seconds : 0.0,
               packed, name.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}
