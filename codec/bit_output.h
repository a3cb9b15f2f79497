#pragma once

// Bit writer of the compressor: codes go out most significant bit first.
// Bits gather in a 64-bit accumulator and leave four bytes at a time; near
// the end of the destination they leave byte by byte, so a full destination
// is noticed by the very code that overflows it.

#include <cstdint>

namespace telo {

struct BitOutput {
  std::uint64_t pending = 0;   // the low `count` bits are not written yet
  int count = 0;
  int flush_at = 32;           // 8 once fewer than 8 bytes of room remain
  std::uint8_t* pos = nullptr;
  std::uint8_t* end = nullptr;
  bool full = false;           // a byte found no room and was dropped
};

void bit_output_start(BitOutput& out, std::uint8_t* pos, std::uint8_t* end);

// Writes every completed byte; the trailing partial byte stays pending.
void bits_flush(BitOutput& out);

// Appends the n (0..16) low bits of x, which must be below 2^n.
inline void bits_put(BitOutput& out, int n, std::uint32_t x) {
  out.pending = (out.pending << n) | x;
  out.count += n;
  if (out.count >= out.flush_at) bits_flush(out);
}

}  // namespace telo
