#include "storage/crc32_fold.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSARADB_CRC_FOLD 1
#endif

namespace tessaradb::detail {

#ifdef TESSARADB_CRC_FOLD
namespace {

// x^k mod P for the fold distances, P = 0x104C11DB7 (computed by polynomial division).
constexpr long long kXPow128 = 0xe8a45605;
constexpr long long kXPow192 = 0xc5b9cd4c;
constexpr long long kXPow512 = 0xe6228b11;
constexpr long long kXPow576 = 0x8833794c;

#define TESSARADB_CRC_TARGET __attribute__((target("pclmul,ssse3")))

// 16 message bytes as a 128-bit polynomial: the first byte's top bit is the coefficient of x^127.
TESSARADB_CRC_TARGET inline __m128i load_block(const std::byte* p, __m128i reverse) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// A block moved forward by d bits, reduced: hi·(x^(d+64) mod P) + lo·(x^d mod P), below x^96.
// `k` holds x^d mod P in its low half and x^(d+64) mod P in its high half.
TESSARADB_CRC_TARGET inline __m128i fold(__m128i block, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x11), _mm_clmulepi64_si128(block, k, 0x00));
}

}  // namespace

bool crc_fold_supported() noexcept {
  static const bool supported =
      __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
  return supported;
}

TESSARADB_CRC_TARGET std::size_t crc_fold(std::span<const std::byte> bytes,
                                          std::byte (&out)[16]) noexcept {
  const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i by128 = _mm_set_epi64x(kXPow192, kXPow128);
  const __m128i by512 = _mm_set_epi64x(kXPow576, kXPow512);
  const std::byte* p = bytes.data();
  std::size_t n = bytes.size();

  // Four independent chains, each folding its block over the next four (512 bits on).
  __m128i a0 = load_block(p, reverse);
  __m128i a1 = load_block(p + 16, reverse);
  __m128i a2 = load_block(p + 32, reverse);
  __m128i a3 = load_block(p + 48, reverse);
  p += 64;
  n -= 64;
  while (n >= 64) {
    a0 = _mm_xor_si128(fold(a0, by512), load_block(p, reverse));
    a1 = _mm_xor_si128(fold(a1, by512), load_block(p + 16, reverse));
    a2 = _mm_xor_si128(fold(a2, by512), load_block(p + 32, reverse));
    a3 = _mm_xor_si128(fold(a3, by512), load_block(p + 48, reverse));
    p += 64;
    n -= 64;
  }
  // Each chain stands 128 bits before the next.
  a1 = _mm_xor_si128(fold(a0, by128), a1);
  a2 = _mm_xor_si128(fold(a1, by128), a2);
  a3 = _mm_xor_si128(fold(a2, by128), a3);
  while (n >= 16) {
    a3 = _mm_xor_si128(fold(a3, by128), load_block(p, reverse));
    p += 16;
    n -= 16;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(a3, reverse));
  return bytes.size() - n;
}

#else

bool crc_fold_supported() noexcept { return false; }

std::size_t crc_fold(std::span<const std::byte>, std::byte (&)[16]) noexcept { return 0; }

#endif

}  // namespace tessaradb::detail
