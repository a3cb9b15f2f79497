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

// x86 (64- and 32-bit) with PCLMULQDQ, and 64-bit ARM with PMULL; both are
// optional extensions, so the processor is asked at run time.
#if defined(__x86_64__) || defined(__i386__)
#define TELO_FOLD_X86 1
#include <immintrin.h>
#elif defined(__aarch64__)
#define TELO_FOLD_ARM64 1
#include <arm_neon.h>
#include <sys/auxv.h>
#ifndef HWCAP_PMULL
#define HWCAP_PMULL (1 << 4)
#endif
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

#if defined(TELO_FOLD_X86)

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

#elif defined(TELO_FOLD_ARM64)

// The same folding with ARMv8's 64 x 64 polynomial multiply; a lane's
// halves sit in the vector as in x86's (bytes 0-7 in lane 0).
#define TELO_PMULL __attribute__((target("+crypto")))

TELO_PMULL inline uint64x2_t constants(FoldConstants k) {
  return vcombine_u64(vcreate_u64(k.high_half), vcreate_u64(k.low_half));
}

TELO_PMULL inline uint64x2_t fold(uint64x2_t lane, uint64x2_t k) {
  const poly128_t low = vmull_p64(static_cast<poly64_t>(vgetq_lane_u64(lane, 0)),
                                  static_cast<poly64_t>(vgetq_lane_u64(k, 0)));
  const poly128_t high = vmull_high_p64(vreinterpretq_p64_u64(lane), vreinterpretq_p64_u64(k));
  return veorq_u64(vreinterpretq_u64_p128(low), vreinterpretq_u64_p128(high));
}

TELO_PMULL inline uint64x2_t load(const std::uint8_t* p) { return vreinterpretq_u64_u8(vld1q_u8(p)); }

TELO_PMULL std::uint16_t fold_groups(std::uint16_t initial, const std::uint8_t* p, std::size_t groups) {
  const uint64x2_t start = vsetq_lane_u64(exchange(initial), vdupq_n_u64(0), 0);
  uint64x2_t a0 = veorq_u64(load(p), start);
  uint64x2_t a1 = load(p + 16), a2 = load(p + 32), a3 = load(p + 48);
  const uint64x2_t k64 = constants(kFold64Bytes);
  for (std::size_t g = 1; g < groups; ++g) {
    p += 64;
    a0 = veorq_u64(fold(a0, k64), load(p));
    a1 = veorq_u64(fold(a1, k64), load(p + 16));
    a2 = veorq_u64(fold(a2, k64), load(p + 32));
    a3 = veorq_u64(fold(a3, k64), load(p + 48));
  }
  const uint64x2_t k16 = constants(kFold16Bytes);
  uint64x2_t a = veorq_u64(fold(a0, k16), a1);
  a = veorq_u64(fold(a, k16), a2);
  a = veorq_u64(fold(a, k16), a3);
  std::uint8_t last[16];
  vst1q_u8(last, vreinterpretq_u8_u64(a));
  return crc16_by_tables(0, last, sizeof last);
}

#endif

}  // namespace

bool crc16_folding_supported() {
#if defined(TELO_FOLD_X86)
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
#elif defined(TELO_FOLD_ARM64)
  return (::getauxval(AT_HWCAP) & HWCAP_PMULL) != 0;
#else
  return false;
#endif
}

std::uint16_t crc16_folded(std::uint16_t initial, const void* data, std::size_t length) {
#if defined(TELO_FOLD_X86) || defined(TELO_FOLD_ARM64)
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
