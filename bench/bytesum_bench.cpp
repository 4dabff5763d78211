// ByteSum against memcpy over the same 1 MiB buffer (the builder's and the stub's
// CopyBuffer). The checksum is taken on every chunk while it sits in that buffer, so it
// must keep up with copying the chunk, or it becomes the cost of a build.
//
// Prints one JSON object: the bandwidth of each repeat, in MiB/s, for both operations.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "shared/u_shared.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned char g_destination[kCopyBufferSize];

// Keeps the compiler from dropping work whose result is never used.
template <typename T>
void KeepAlive(T const& value) {
  asm volatile("" : : "r"(value) : "memory");
}

void FillWithNoise() {
  uint32_t x = 2463534242u;
  for (int32_t i = 0; i < kCopyBufferSize; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    CopyBuffer[i] = static_cast<unsigned char>(x);
  }
}

template <typename Work>
double MibPerSecond(int passes, Work work) {
  const auto start = Clock::now();
  for (int i = 0; i < passes; ++i) work();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return passes * (kCopyBufferSize / 1048576.0) / seconds;
}

void PrintSeries(const char* name, const std::vector<double>& values, bool last) {
  std::printf("\"%s\": [", name);
  for (size_t i = 0; i < values.size(); ++i) std::printf("%s%.1f", i ? ", " : "", values[i]);
  std::printf("]%s", last ? "" : ", ");
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 7;
  const int passes = argc > 2 ? std::atoi(argv[2]) : 2000;
  if (repeats < 1 || passes < 1) {
    std::fprintf(stderr, "usage: bytesum_bench [repeats] [passes of 1 MiB per repeat]\n");
    return 2;
  }
  FillWithNoise();

  // The checksum of the buffer is known before timing, so every timed pass can be checked
  // against it: a fast but wrong ByteSum must not look like a good result.
  const uint32_t expected = ByteSum(CopyBuffer, kCopyBufferSize);
  uint64_t plain = 0;
  for (int32_t i = 0; i < kCopyBufferSize; ++i) plain += CopyBuffer[i];
  if (expected != static_cast<uint32_t>(plain)) {
    std::fprintf(stderr, "ByteSum gives %u, the byte-by-byte sum is %u\n", expected, static_cast<uint32_t>(plain));
    return 1;
  }

  std::vector<double> sums, copies;
  bool wrong = false;
  for (int r = 0; r < repeats; ++r) {
    // Alternate the two so that both see the same clock and the same neighbours.
    copies.push_back(MibPerSecond(passes, [] {
      std::memcpy(g_destination, CopyBuffer, kCopyBufferSize);
      KeepAlive(g_destination[0]);
    }));
    sums.push_back(MibPerSecond(passes, [&] {
      const uint32_t sum = ByteSum(CopyBuffer, kCopyBufferSize);
      wrong = wrong || sum != expected;
      KeepAlive(sum);
    }));
  }
  if (wrong) {
    std::fprintf(stderr, "ByteSum gave a different result in a timed pass\n");
    return 1;
  }
  std::printf("{\"pointer_bits\": %d, \"buffer_bytes\": %d, ", static_cast<int>(sizeof(void*) * 8), kCopyBufferSize);
  PrintSeries("bytesum_mib_s", sums, false);
  PrintSeries("memcpy_mib_s", copies, true);
  std::printf("}\n");
  return 0;
}
