#pragma once

// The decoder's bit input: a 64-bit buffer refilled eight bytes at a time.
//
// The stream's bits are taken from its bytes in order, most significant bit
// first; bytes past the source's end read as zeros and are not counted.
// Between decode calls the position is kept in the context's plain form
// (`bit_buffer` holds the next 16 bits, `last_byte_bits` low bits of
// `last_byte` follow them, and the source window stops right after that
// byte), so `pos` and `consumed` always stand two bytes ahead of the bits used.

#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/codec.h"

namespace telo {

struct Decompressor;

// Invariant: the top `count` bits of `bits` are the next bits of the stream,
// the first one in bit 63; the bits below them are zero or the stream bits
// that follow. `in` is the next source byte not yet in `bits`; once it reaches
// `end`, each further byte is a zero counted in `zeros_fed`.
struct BitReader {
  std::uint64_t bits = 0;
  int count = 0;
  const std::uint8_t* in = nullptr;
  const std::uint8_t* end = nullptr;
  std::uint32_t zeros_fed = 0;
};

// After a refill at least this many bits are ready: enough for a symbol
// (16 bits) and its offset (a 16-bit class code and 12 extra bits).
inline constexpr int kRefillBits = 56;
static_assert(kMaxCodeLength + kMaxCodeLength + 12 <= kRefillBits);

inline std::uint64_t load_big_endian64(const std::uint8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word;
}

// Byte by byte near the end of the source, zeros past it. By value, so
// that a caller's reader can stay in registers outside this rare path.
BitReader refill_bytes(BitReader reader);

// Makes at least kRefillBits bits ready when eight source bytes remain: the
// word's bytes that fit go in whole, the partial one is loaded again next time.
inline void refill_word(BitReader& reader) {
  reader.bits |= load_big_endian64(reader.in) >> reader.count;
  reader.in += (63u - static_cast<unsigned>(reader.count)) >> 3;
  reader.count |= kRefillBits;
}

// Makes at least kRefillBits bits ready.
inline void refill(BitReader& reader) {
  if (reader.end - reader.in >= 8) {
    refill_word(reader);
  } else {
    reader = refill_bytes(reader);
  }
}

// The next n bits (1 to 32) without discarding them.
inline std::uint32_t peek_bits(const BitReader& reader, int n) {
  return static_cast<std::uint32_t>(reader.bits >> (64 - n));
}

inline void skip_bits(BitReader& reader, int n) {
  reader.bits <<= n;
  reader.count -= n;
}

// The next n bits (0 to 32) as a number, discarded; 0 when n is 0.
inline std::uint32_t take_bits(BitReader& reader, int n) {
  const auto value = static_cast<std::uint32_t>((reader.bits >> 1) >> (63 - n));
  skip_bits(reader, n);
  return value;
}

// Loads the context's plain bit position (fresh: the stream's first bit)
// and the source window into a reader.
BitReader bit_reader_resume(const Decompressor& context, const ByteWindow& source, bool fresh);

// Stores the reader back in the plain form: gives back the bytes read ahead
// beyond it and advances the source's `pos` and `consumed` by the bytes taken.
void bit_reader_suspend(BitReader reader, Decompressor& context, ByteWindow& source);

}  // namespace telo
