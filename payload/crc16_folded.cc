// CRC-16/ARC by folding with carry-less multiplication.
//
// The message is a polynomial over GF(2); its CRC depends only on its
// remainder modulo P = x^16 + x^15 + x^2 + 1. Sixteen bytes loaded
// little-endian form a "lane" whose bit m is the coefficient of x^(127-m)
// (the CRC is bit-reflected). Multiplying a lane's two halves by x^k mod P
// moves it k bits further along while keeping the remainder, so four lanes
// absorb 64 bytes per step; the last lane and the tail go through tables.

#include "payload/crc16_sliced.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace telo {

namespace {

constexpr std::uint16_t exchange(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

// x^e mod P, bit d the coefficient of x^d.
constexpr std::uint32_t x_power_mod(int e) {
  std::uint32_t r = 1;
  for (int i = 0; i < e; ++i) {
    r <<= 1;
    if (r & 0x10000) r ^= 0x18005;
  }
  return r;
}

// A polynomial of degree < 64 as a reflected half-lane: x^d at bit 63 - d.
constexpr std::uint64_t reflected(std::uint32_t poly) {
  std::uint64_t v = 0;
  for (int d = 0; d < 16; ++d)
    if (poly >> d & 1) v |= std::uint64_t{1} << (63 - d);
  return v;
}

// A lane is h·x^64 + l (h from its low eight bytes). Moving it n bits on
// multiplies h by x^(n+64) and l by x^n; the product of two reflected
// half-lanes comes out one degree short, hence the "- 1".
struct FoldConstants {
  std::uint64_t high_half;
  std::uint64_t low_half;
};
constexpr FoldConstants fold_by(int bits) {
  return {reflected(x_power_mod(bits + 64 - 1)), reflected(x_power_mod(bits - 1))};
}

constexpr FoldConstants kFold64Bytes = fold_by(512);
constexpr FoldConstants kFold16Bytes = fold_by(128);

#if defined(__x86_64__)

#define TELO_CLMUL __attribute__((target("pclmul,sse2")))

TELO_CLMUL inline __m128i constants(FoldConstants k) {
  return _mm_set_epi64x(static_cast<long long>(k.low_half), static_cast<long long>(k.high_half));
}

TELO_CLMUL inline __m128i fold(__m128i lane, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

TELO_CLMUL inline __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds the 64-byte groups of `p` into one lane with the same remainder;
// the running CRC enters as the first two bytes' complement.
TELO_CLMUL std::uint16_t fold_groups(std::uint16_t initial, const std::uint8_t* p, std::size_t groups) {
  __m128i a0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(exchange(initial)));
  __m128i a1 = load(p + 16), a2 = load(p + 32), a3 = load(p + 48);
  const __m128i k64 = constants(kFold64Bytes);
  for (std::size_t g = 1; g < groups; ++g) {
    p += 64;
    a0 = _mm_xor_si128(fold(a0, k64), load(p));
    a1 = _mm_xor_si128(fold(a1, k64), load(p + 16));
    a2 = _mm_xor_si128(fold(a2, k64), load(p + 32));
    a3 = _mm_xor_si128(fold(a3, k64), load(p + 48));
  }
  const __m128i k16 = constants(kFold16Bytes);
  __m128i a = _mm_xor_si128(fold(a0, k16), a1);
  a = _mm_xor_si128(fold(a, k16), a2);
  a = _mm_xor_si128(fold(a, k16), a3);
  std::uint8_t last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), a);
  return crc16_by_tables(0, last, sizeof last);
}

#endif

}  // namespace

bool crc16_folding_supported() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
#else
  return false;
#endif
}

std::uint16_t crc16_folded(std::uint16_t initial, const void* data, std::size_t length) {
#if defined(__x86_64__)
  if (length >= 64 && crc16_folding_supported()) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t groups = length / 64;
    std::uint16_t crc = fold_groups(initial, p, groups);
    return crc16_by_tables(crc, p + groups * 64, length - groups * 64);
  }
#endif
  return crc16_by_tables(initial, data, length);
}

}  // namespace telo
