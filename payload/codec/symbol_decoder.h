#pragma once

// Decoding one code of the stream through its lookup table.

#include <cstdint>

#include "payload/codec/bit_reader.h"
#include "payload/codec/code_table.h"
#include "payload/codec/context.h"

namespace telo {

// Format notes: a code is at most 16 bits; the first table_bits of them pick
// the main entry, the rest (if the entry links on) pick a subtable entry.
// Needs 16 bits ready in the reader. Returns the entry's payload.
inline std::uint32_t decode_entry(BitReader& reader, const std::uint32_t* table, int table_bits) {
  std::uint32_t entry = table[peek_bits(reader, table_bits)];
  if (entry & kEntryLink) {
    skip_bits(reader, table_bits);
    entry = table[(entry >> kEntryValueShift) +
                  peek_bits(reader, static_cast<int>(entry & kEntryLengthMask))];
  }
  skip_bits(reader, static_cast<std::uint8_t>(entry));
  return entry >> kEntryValueShift;
}

// Format notes: symbols 0..255 are literal bytes, 256..509 matches of
// length symbol - 253 (3 to 256).
inline std::uint32_t decode_symbol(BitReader& reader, const Decompressor& context) {
  return decode_entry(reader, context.symbol_entries, kSymbolEntryBits);
}

// Format notes: offset class q is 0 for offset 0, else 2^(q-1) plus q - 1
// extra bits that follow the class code (class 13: 4096..8191). A match
// copies from offset + 1 bytes behind the output. Needs 28 bits ready.
inline std::uint32_t decode_offset(BitReader& reader, const Decompressor& context) {
  const std::uint32_t payload = decode_entry(reader, context.offset_entries, kSmallEntryBits);
  const int extra = static_cast<int>(payload >> kOffsetExtraShift);
  return (payload & kOffsetBaseMask) + take_bits(reader, extra);
}

}  // namespace telo
