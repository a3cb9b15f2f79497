#pragma once

// Decoding one code of the stream through its lookup table.

#include <cstdint>

#include "codec/bit_reader.h"
#include "codec/code_table.h"
#include "codec/context.h"

namespace telo {

// The entry of the next code without discarding it: the main entry, or the
// subtable's entry for a code longer than table_bits. Needs 16 bits ready.
// The subtable entry a link entry of the main table leads to, for the code
// at the reader's position. Needs 16 bits ready.
inline std::uint32_t follow_link(const BitReader& reader, const std::uint32_t* table,
                                 int table_bits, std::uint32_t link) {
  const int width = static_cast<int>((link >> kEntryWidthShift) & kEntryWidthMask);
  const auto index = static_cast<std::uint32_t>((reader.bits << table_bits) >> (64 - width));
  return table[((link >> kEntryValueShift) & kEntryValueMask) + index];
}

inline std::uint32_t lookup_entry(const BitReader& reader, const std::uint32_t* table,
                                  int table_bits) {
  const std::uint32_t entry = table[peek_bits(reader, table_bits)];
  if ((entry & kEntryLink) == 0) return entry;
  return follow_link(reader, table, table_bits, entry);
}

// Format notes: a code is at most 16 bits; the first table_bits of them pick
// the main entry, the rest (if the entry links on) pick a subtable entry.
// Needs 16 bits ready in the reader. Returns the whole entry, code discarded.
inline std::uint32_t decode_entry(BitReader& reader, const std::uint32_t* table, int table_bits) {
  const std::uint32_t entry = lookup_entry(reader, table, table_bits);
  skip_bits(reader, static_cast<int>(entry & kEntryLengthMask));
  return entry;
}

inline std::uint32_t entry_value_of(std::uint32_t entry) {
  return (entry >> kEntryValueShift) & kEntryValueMask;
}

// Format notes: symbols 0..255 are literal bytes, 256..509 matches of
// length symbol - 253 (3 to 256). Returns the entry: a literal carries
// kEntryLiteral and its byte, a match its length.
inline std::uint32_t decode_symbol(BitReader& reader, const Decompressor& context) {
  return decode_entry(reader, context.symbol_entries, kSymbolEntryBits);
}

// An offset entry's length covers its class code and the extra bits after
// it, so one shift discards both; the extra bits are then read from the bits
// as they were before (`before`): the last of the entry's length.
inline std::uint32_t offset_extra_bits(std::uint64_t before, std::uint32_t entry) {
  const auto total = static_cast<int>(entry & kEntryLengthMask);  // 0 to 28
  const std::uint32_t mask = (1u << ((entry >> kEntryWidthShift) & kEntryWidthMask)) - 1;
  return static_cast<std::uint32_t>((before >> 1) >> (63 - total)) & mask;
}

// Format notes: offset class q is 0 for offset 0, else 2^(q-1) plus q - 1
// extra bits that follow the class code (class 13: 4096..8191). A match
// copies from offset + 1 bytes behind the output; that distance (1 to 8192)
// is what this returns. Needs 28 bits ready.
inline int decode_distance(BitReader& reader, const Decompressor& context) {
  const std::uint32_t entry = lookup_entry(reader, context.offset_entries, kSmallEntryBits);
  const std::uint64_t before = reader.bits;
  skip_bits(reader, static_cast<int>(entry & kEntryLengthMask));
  return static_cast<int>(entry_value_of(entry) + offset_extra_bits(before, entry));
}

}  // namespace telo
