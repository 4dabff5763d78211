#include "pe/pe_checksum.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pe {

namespace {

// What `count` bytes at file offset `position` add to the word sum: each byte is the low or
// the high half of a little-endian 16-bit word, by the parity of its offset.
uint64_t WordSum(const unsigned char* p, uint64_t count, uint64_t position) {
  uint64_t even = 0, odd = 0;  // bytes at even and at odd offsets from p
  uint64_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), lowBytes = _mm_set1_epi16(0x00FF);
  __m128i evenAcc = zero, oddAcc = zero;
  for (; i + 16 <= count; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    evenAcc = _mm_add_epi64(evenAcc, _mm_sad_epu8(_mm_and_si128(v, lowBytes), zero));
    oddAcc = _mm_add_epi64(oddAcc, _mm_sad_epu8(_mm_srli_epi16(v, 8), zero));
  }
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), evenAcc);
  even = lanes[0] + lanes[1];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), oddAcc);
  odd = lanes[0] + lanes[1];
#endif
  for (; i < count; ++i) (i & 1 ? odd : even) += p[i];
  return (position & 1) ? odd + (even << 8) : even + (odd << 8);
}

}  // namespace

void PeChecksum::Add(const void* data, uint64_t count, uint64_t offset) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  sum_ += WordSum(bytes, count, offset);
  for (uint64_t at = fieldOffset_; at < fieldOffset_ + 4; ++at)
    if (at >= offset && at - offset < count) sum_ -= uint64_t{bytes[at - offset]} << (8 * (at & 1));
}

uint32_t PeChecksum::Value(uint64_t fileSize) const {
  const uint64_t folded = sum_ == 0 ? 0 : (sum_ - 1) % 0xFFFF + 1;
  return static_cast<uint32_t>(folded + fileSize);
}

}  // namespace pe
