#include "codec/chunk_decoder.h"

#include <algorithm>
#include <cstring>

#include "codec/block_header.h"
#include "codec/symbol_decoder.h"

namespace telo {
namespace {

constexpr int kWindowMask = kWindowSize - 1;
constexpr int kWordCopy = 8;   // bytes a match copy moves per step
constexpr int kWideCopy = 16;  // per step in the fast path when the distance allows
constexpr int kMatchOverrun = 2 * kWideCopy;  // the fast path's copies may write this far past a match
// The fast path decodes up to three symbols per step, with up to two refills.
// It runs while those symbols are left in the block, their literals fit the
// chunk and two refills fit in the source; a match that would come within a
// wide copy's overrun of the chunk's end is copied the careful way.
constexpr int kFastSymbols = 3;
// Bits a step may use after its first refill before the next lookup: two
// literals then a main-table index, or a match and its offset then an index;
// a literal, a match and its offset take a second refill in between.
static_assert(2 * kMaxCodeLength + kSymbolEntryBits <= kRefillBits);
static_assert(kMaxCodeLength + kMaxCodeLength + 12 + kSymbolEntryBits <= kRefillBits);
static_assert(kMaxCodeLength + kMaxCodeLength + kSmallEntryBits <= kRefillBits);
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

// Copies what fits of a match into the chunk (limit n) and keeps the rest
// for the next call. Returns the new output count.
int copy_match_cut(Decompressor& context, std::uint8_t* out, int produced, int n, int distance,
                   int length) {
  const int copied = std::min(length, n - produced);
  produced = copy_match(context.window, out, produced, n, distance, copied);
  if (copied < length) {
    context.copy_remaining = length - copied;
    context.copy_from = static_cast<std::uint32_t>(produced - distance) & kWindowMask;
  }
  return produced;
}

// A match in the fast path: the copy is known to fit the chunk with room
// for a wide copy's overrun (kMatchOverrun bytes past the match). Most
// matches reach at least 16 bytes back and are at most 32 long: two wide
// copies, from the window or from this chunk, without a branch between.
inline void copy_match_fast(const std::uint8_t* window, std::uint8_t* out, std::uint8_t* to,
                            int distance, int length) {
  const int at = static_cast<int>(to - out);
  // Rare: a source that starts in the window and runs (or reads ahead) into this chunk.
  if (static_cast<unsigned>(distance - at - 1) < static_cast<unsigned>(length + kMatchOverrun - 1)) {
    copy_match(window, out, at, at + length + kMatchOverrun, distance, length);
    return;
  }
  if (distance >= kWideCopy) {
    // The window holds the previous chunk at the same indices: the source
    // is at index at - distance of this chunk or of that one (selected
    // without a branch, which would go either way).
    const std::uint8_t* const base = distance > at ? window + kWindowSize : out;
    const std::uint8_t* from = base + (at - distance);
    std::memcpy(to, from, kWideCopy);
    std::memcpy(to + kWideCopy, from + kWideCopy, kWideCopy);
    if (length > 2 * kWideCopy) copy_in_steps<kWideCopy>(to + 2 * kWideCopy, from + 2 * kWideCopy, to + length);
    return;
  }
  if (distance > at) {
    copy_match(window, out, at, at + length + kMatchOverrun, distance, length);
    return;
  }
  const std::uint8_t* from = to - distance;
  std::uint8_t* const stop = to + length;
  if (distance >= kWordCopy) {
    copy_in_steps<kWordCopy>(to, from, stop);
  } else if (distance == 1) {
    std::memset(to, *from, static_cast<std::size_t>(length));
  } else {
    while (to < stop) *to++ = *from++;
  }
}

// Discards an entry's code from the reader.
// The shift takes the low six bits of the entry alone (a length is at most
// 16), which keeps the byte extraction off the path to the next lookup.
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
  const std::uint8_t* const window = context.window;
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
    consume(r, offset);
    const int extra = static_cast<int>((offset >> kEntryWidthShift) & kEntryWidthMask);
    const int distance = static_cast<int>(entry_value_of(offset) + take_bits(r, extra));
    entry = main_entry(r, c);
    if (end - to < length + kMatchOverrun) {
      to = out + copy_match_cut(context, out, static_cast<int>(to - out), n, distance, length);
      continue;
    }
    copy_match_fast(window, out, to, distance, length);
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
int produce_chunk(Decompressor& context, BitReader& reader, std::uint8_t* out, int n) {
  int produced = 0;
  if (context.copy_remaining > 0) {
    const int length = std::min(context.copy_remaining, n);
    produced = copy_match(context.window, out, 0, n, kWindowSize - static_cast<int>(context.copy_from),
                          length);
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
