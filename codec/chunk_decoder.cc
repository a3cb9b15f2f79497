#include "codec/chunk_decoder.h"

#include <algorithm>
#include <cstring>

#include "codec/block_header.h"
#include "codec/symbol_decoder.h"

namespace telo {
namespace {

constexpr int kWindowMask = kWindowSize - 1;
constexpr int kWordCopy = 8;   // bytes a match copy moves per step from 8 bytes back
constexpr int kWideCopy = 16;  // per step from 16 bytes back and more
// The fast path copies a match's first 32 bytes without a test, and a copy
// in steps overshoots its end by less than a step: all within the slack.
static_assert(2 * kWideCopy <= kStagingSlack);
// The fast path decodes up to three symbols per step, with up to two refills.
// It runs while those symbols are left in the block, their literals fit the
// chunk and two refills fit in the source; a match longer than the chunk's
// room is cut the careful way.
constexpr int kFastSymbols = 3;
// Bits a step may use after its first refill before the next lookup: two
// literals then a main-table index, or a match and its offset then an index;
// a literal, a match and its offset take a second refill in between.
static_assert(2 * kMaxCodeLength + kSymbolEntryBits <= kRefillBits);
static_assert(kMaxCodeLength + kMaxCodeLength + 12 + kSymbolEntryBits <= kRefillBits);
static_assert(kMaxCodeLength + kMaxCodeLength + kSmallEntryBits <= kRefillBits);
constexpr int kFastInputMargin = 16;

// Copies in steps of `step` bytes until `stop` is reached or passed. The
// source lies at least `step` bytes back, so each step reads only bytes
// already written; the last one may write up to step - 1 bytes past `stop`.
template <int step>
inline void copy_in_steps(std::uint8_t* to, const std::uint8_t* from, const std::uint8_t* stop) {
  do {
    std::memcpy(to, from, step);
    to += step;
    from += step;
  } while (to < stop);
}

// Copies a match of `length` bytes to `to` from `distance` bytes back (1 to
// 8192). The chunk follows the window, which holds the history at the same
// indices modulo 8192, so the source is always at to - distance; a short
// distance repeats a pattern. May write up to 15 bytes past the match, into
// bytes of the chunk not produced yet or its slack.
inline void copy_match(std::uint8_t* to, int distance, int length) {
  const std::uint8_t* from = to - distance;
  std::uint8_t* const stop = to + length;
  if (distance >= kWideCopy) {
    copy_in_steps<kWideCopy>(to, from, stop);
  } else if (distance >= kWordCopy) {
    copy_in_steps<kWordCopy>(to, from, stop);
  } else if (distance == 1) {
    std::memset(to, *from, static_cast<std::size_t>(length));
  } else {
    while (to < stop) *to++ = *from++;
  }
}

// Copies what fits of a match into the chunk (limit n) and keeps the rest
// for the next call. Returns the new output count.
int copy_match_cut(Decompressor& context, std::uint8_t* out, int produced, int n, int distance,
                   int length) {
  const int copied = std::min(length, n - produced);
  copy_match(out + produced, distance, copied);
  produced += copied;
  if (copied < length) {
    context.copy_remaining = length - copied;
    context.copy_from = static_cast<std::uint32_t>(produced - distance) & kWindowMask;
  }
  return produced;
}

// A match in the fast path. Most matches reach at least 16 bytes back and
// are at most 32 long: two wide copies without a test between.
inline void copy_match_fast(std::uint8_t* to, int distance, int length) {
  if (distance < kWideCopy) {
    copy_match(to, distance, length);
    return;
  }
  const std::uint8_t* from = to - distance;
  std::memcpy(to, from, kWideCopy);
  std::memcpy(to + kWideCopy, from + kWideCopy, kWideCopy);
  if (length > 2 * kWideCopy) copy_in_steps<kWideCopy>(to + 2 * kWideCopy, from + 2 * kWideCopy, to + length);
}

// Discards an entry's code (an offset's with its extra bits) from the reader.
// The shift takes the low six bits of the entry alone (a length is at most
// 28), which keeps the byte extraction off the path to the next lookup.
inline void consume(BitReader& r, std::uint32_t entry) {
  r.bits <<= entry & 63;
  r.count -= static_cast<int>(entry & kEntryLengthMask);
}

inline void put_literal(std::uint8_t*& to, std::uint32_t entry) {
  *to++ = static_cast<std::uint8_t>(entry >> kEntryValueShift);
}

// Main-table entry of the next symbol code; needs only the table's bits ready.
inline std::uint32_t main_entry(const BitReader& r, const Decompressor& c) {
  return c.symbol_entries[peek_bits(r, kSymbolEntryBits)];
}

// The fast path: far from the end of the chunk, of the block and of the
// source, so that no refill and no literal needs a bound check. The reader
// is copied into a local that stays in registers.
//
// A refill only adds bits below those ready, so every lookup is made from
// the bits at hand before the refill that follows it: the next symbol's main
// entry is loaded before the step's refill and before a match is copied, and
// the offset's before the second refill. Subtable links are followed after
// the refill, which they need.
int decode_fast(Decompressor& context, BitReader& reader, std::uint8_t* out, int produced, int n,
                std::uint32_t& remaining) {
  std::uint8_t* to = out + produced;
  if (n - produced < kFastSymbols || reader.end - reader.in < kFastInputMargin) return produced;
  // The tables are reached through the context, at fixed displacements from
  // one register.
  const Decompressor& c = context;
  BitReader r = reader;
  std::uint32_t left = remaining;
  std::uint8_t* const end = out + n;
  std::uint8_t* const literals_end = end - kFastSymbols;
  const std::uint8_t* const in_limit = r.end - kFastInputMargin;
  refill_word(r);
  std::uint32_t entry = main_entry(r, c);
  // Each step: two or three literals, or a literal and a match, or a match.
  while (to <= literals_end && left >= kFastSymbols && r.in <= in_limit) {
    refill_word(r);
    if (entry & kEntryLink) entry = follow_link(r, c.symbol_entries, kSymbolEntryBits, entry);
    bool refill_for_offset = false;
    if (entry & kEntryLiteral) {
      consume(r, entry);
      put_literal(to, entry);
      --left;
      entry = lookup_entry(r, c.symbol_entries, kSymbolEntryBits);
      if (entry & kEntryLiteral) {
        consume(r, entry);
        put_literal(to, entry);
        --left;
        entry = main_entry(r, c);
        // Short literals leave room for a third before the next refill.
        if ((entry & kEntryLiteral) && r.count >= kMaxCodeLength + kSymbolEntryBits) {
          consume(r, entry);
          put_literal(to, entry);
          --left;
          entry = main_entry(r, c);
        }
        continue;
      }
      refill_for_offset = true;  // a literal, a match and its offset: up to 60 bits
    }
    --left;
    consume(r, entry);
    const int length = static_cast<int>(entry >> kEntryValueShift);
    std::uint32_t offset = c.offset_entries[peek_bits(r, kSmallEntryBits)];
    if (refill_for_offset) refill_word(r);
    if (offset & kEntryLink) offset = follow_link(r, c.offset_entries, kSmallEntryBits, offset);
    const std::uint64_t before = r.bits;
    consume(r, offset);
    entry = main_entry(r, c);
    const int distance = static_cast<int>(entry_value_of(offset) + offset_extra_bits(before, offset));
    if (length > end - to) {
      to = out + copy_match_cut(context, out, static_cast<int>(to - out), n, distance, length);
      continue;
    }
    copy_match_fast(to, distance, length);
    to += length;
  }
  reader = r;
  remaining = left;
  return static_cast<int>(to - out);
}

}  // namespace

// Format notes: a block's symbols are literals and matches; the header of
// the next block is read only when a symbol is needed and the block is used
// up. A block size of 0 is never used up again (the count goes below zero).
int produce_chunk(Decompressor& context, BitReader& reader, int n) {
  std::uint8_t* const out = context.window + kWindowSize;
  int produced = 0;
  if (context.copy_remaining > 0) {
    const int length = std::min(context.copy_remaining, n);
    copy_match(out, kWindowSize - static_cast<int>(context.copy_from), length);
    produced = length;
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
    const std::uint32_t entry = decode_symbol(reader, context);
    if (entry & kEntryLiteral) {
      out[produced++] = static_cast<std::uint8_t>(entry >> kEntryValueShift);
      continue;
    }
    const int length = static_cast<int>(entry >> kEntryValueShift);
    const int distance = decode_distance(reader, context);
    produced = copy_match_cut(context, out, produced, n, distance, length);
  }
  context.block_remaining = static_cast<std::int32_t>(remaining);
  return produced;
}

}  // namespace telo
