#include "u_shared.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

unsigned char CopyBuffer[kCopyBufferSize];

uint32_t ByteSum(const void* data, int32_t count) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t sum = 0;
  int32_t i = 0;
#if defined(__SSE2__)
  // psadbw against zero adds 16 bytes into two 64-bit lanes per instruction: the whole
  // checksum costs about as much as reading the bytes once.
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  for (; i + 64 <= count; i += 64) {
    __m128i a = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero);
    __m128i b = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)), zero);
    __m128i c = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32)), zero);
    __m128i d = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48)), zero);
    acc = _mm_add_epi64(acc, _mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(c, d)));
  }
  for (; i + 16 <= count; i += 16)
    acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero));
  // Two 32-bit halves per lane; only the low 32 bits of the total matter.
  uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
  sum = static_cast<uint64_t>(lanes[0]) + lanes[2] + (static_cast<uint64_t>(lanes[1] + lanes[3]) << 32);
#endif
  for (; i < count; ++i) sum += p[i];
  return static_cast<uint32_t>(sum);
}
