#include "payload/codec/chunk_decoder.h"

#include <algorithm>
#include <cstring>

#include "payload/codec/block_header.h"
#include "payload/codec/symbol_decoder.h"

namespace telo {
namespace {

constexpr int kWindowMask = kWindowSize - 1;
constexpr int kLongestMatch = 256;
constexpr int kWordCopy = 8;  // bytes a match copy moves per step
constexpr int kWideCopy = 16; // per step in the fast path when the distance allows
// The fast path runs while its literals, a whole match and a word copy's
// overrun still fit in the chunk, and two refills fit in the source.
constexpr int kFastLiterals = 3;
static_assert(kFastLiterals * kMaxCodeLength <= kRefillBits);
constexpr int kFastOutputMargin = (kFastLiterals - 1) + kLongestMatch + kWideCopy;
constexpr int kFastInputMargin = 16;

// Copies in steps of `step` bytes until `stop` is reached or passed; the
// caller has made sure the overrun stays inside the chunk.
template <int step>
inline void copy_in_steps(std::uint8_t* to, const std::uint8_t* from, const std::uint8_t* stop) {
  do {
    std::memcpy(to, from, step);
    to += step;
    from += step;
  } while (to < stop);
}

// Copies `length` bytes of a match to out[at...], the source lying `distance`
// bytes back (1 to 8192). The part before this call's output comes from the
// window, which holds the previous chunk at the same indices modulo 8192; the
// rest overlaps the output itself, so a short distance repeats a pattern.
// Words may be written up to 7 bytes past the match, never past `limit`.
int copy_match(const std::uint8_t* window, std::uint8_t* out, int at, int limit, int distance,
               int length) {
  if (distance > at) {
    const int from_window = std::min(length, distance - at);
    std::memcpy(out + at, window + kWindowSize - (distance - at), from_window);
    at += from_window;
    length -= from_window;
    if (length == 0) return at;
  }
  std::uint8_t* to = out + at;
  const std::uint8_t* from = to - distance;
  std::uint8_t* const stop = to + length;
  if (distance >= kWordCopy && at + length + kWordCopy <= limit) {
    copy_in_steps<kWordCopy>(to, from, stop);
  } else if (distance == 1) {
    std::memset(to, *from, length);
  } else {
    while (to < stop) *to++ = *from++;
  }
  return at + length;
}

// A match in the fast path: the copy is known to fit the chunk with room
// for a wide copy's overrun (up to 15 bytes past the match).
inline int copy_match_fast(const std::uint8_t* window, std::uint8_t* out, int at, int limit,
                           int distance, int length) {
  std::uint8_t* to = out + at;
  const std::uint8_t* from = to - distance;
  std::uint8_t* const stop = to + length;
  if (distance > at) {
    // From the previous chunk: wide copies while the window's end is far.
    if (distance - at < length + kWideCopy) return copy_match(window, out, at, limit, distance, length);
    from = window + kWindowSize - (distance - at);
    copy_in_steps<kWideCopy>(to, from, stop);
    return at + length;
  }
  if (distance >= kWideCopy) {
    copy_in_steps<kWideCopy>(to, from, stop);
  } else if (distance >= kWordCopy) {
    copy_in_steps<kWordCopy>(to, from, stop);
  } else if (distance == 1) {
    std::memset(to, *from, static_cast<std::size_t>(length));
  } else {
    while (to < stop) *to++ = *from++;
  }
  return at + length;
}

// The fast path: far from the end of the chunk and of the source, with
// three symbols left in the block, so that one refill serves up to three
// literals (16 bits each) or two literals and a match after a second refill,
// and no copy needs a bound check. The reader is copied into a local that
// stays in registers.
int decode_fast(const Decompressor& context, BitReader& reader, std::uint8_t* out, int produced,
                int n, std::uint32_t& remaining) {
  const std::uint8_t* const window = context.window;
  const std::uint32_t* const symbols = context.symbol_entries;
  BitReader r = reader;
  std::uint32_t left = remaining;
  const int limit = n - kFastOutputMargin;
  while (produced <= limit && left >= kFastLiterals && r.end - r.in >= kFastInputMargin) {
    refill_word(r);
    std::uint32_t symbol = 0;
    int literals = 0;
    for (;;) {
      --left;
      symbol = decode_entry(r, symbols, kSymbolEntryBits);
      if (symbol >= 256) break;
      out[produced++] = static_cast<std::uint8_t>(symbol);
      if (++literals == kFastLiterals) break;
    }
    if (symbol < 256) continue;
    if (literals > 0) refill_word(r);  // the offset may need 28 bits
    const int length = static_cast<int>(symbol) - 253;
    const int distance = static_cast<int>(decode_offset(r, context)) + 1;
    produced = copy_match_fast(window, out, produced, n, distance, length);
  }
  reader = r;
  remaining = left;
  return produced;
}

}  // namespace

// Format notes: a block's symbols are literals and matches; the header of
// the next block is read only when a symbol is needed and the block is used
// up. A block size of 0 is never used up again (the count goes below zero).
int produce_chunk(Decompressor& context, BitReader& reader, std::uint8_t* out, int n) {
  const std::uint8_t* window = context.window;
  int produced = 0;
  if (context.copy_remaining > 0) {
    const int length = std::min(context.copy_remaining, n);
    produced = copy_match(window, out, 0, n, kWindowSize - static_cast<int>(context.copy_from), length);
    context.copy_remaining -= length;
    context.copy_from = (context.copy_from + length) & kWindowMask;
  }
  auto remaining = static_cast<std::uint32_t>(context.block_remaining);
  while (produced < n) {
    if (remaining == 0) {
      if (read_block_header(context, reader) != 0) break;
      remaining = static_cast<std::uint32_t>(context.block_remaining);
    } else {
      produced = decode_fast(context, reader, out, produced, n, remaining);
      if (produced >= n || remaining == 0) continue;
    }
    // One symbol the careful way, close to an end.
    --remaining;  // wraps like the stored 32-bit count
    refill(reader);
    const std::uint32_t symbol = decode_symbol(reader, context);
    if (symbol < 256) {
      out[produced++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    const int length = static_cast<int>(symbol) - 253;
    const int distance = static_cast<int>(decode_offset(reader, context)) + 1;
    const int copied = std::min(length, n - produced);
    produced = copy_match(window, out, produced, n, distance, copied);
    if (copied < length) {
      context.copy_remaining = length - copied;
      context.copy_from = static_cast<std::uint32_t>(produced - distance) & kWindowMask;
    }
  }
  context.block_remaining = static_cast<std::int32_t>(remaining);
  return produced;
}

}  // namespace telo
