#pragma once

// Symbols of the fast and best levels, kept as one 32-bit record each until
// their block is written: a block of theirs holds up to 65535 symbols, more
// than the reference's byte buffer in the window can.

#include <bit>
#include <cstdint>

#include "codec/bit_output.h"
#include "codec/context.h"
#include "codec/match_length.h"

namespace telo {

inline constexpr int kMaxBlockSymbols = 65535;  // the 16-bit block-size field

// Low 16 bits: the symbol-code symbol (a byte, or 256 + length - 3).
// High 16 bits: a match's offset, distance - 1 (0..8191).
using SymbolRecord = std::uint32_t;

inline SymbolRecord literal_record(int byte) { return static_cast<SymbolRecord>(byte); }

inline SymbolRecord match_record(int length, int distance) {
  return static_cast<SymbolRecord>(256 + length - kMinMatch) |
         static_cast<SymbolRecord>(distance - 1) << 16;
}

inline int record_symbol(SymbolRecord r) { return static_cast<int>(r & 0xFFFF); }
inline int record_offset(SymbolRecord r) { return static_cast<int>(r >> 16); }

// Bytes of input a record stands for.
inline int record_bytes(SymbolRecord r) {
  const int symbol = record_symbol(r);
  return symbol < 256 ? 1 : symbol - 256 + kMinMatch;
}

// Counts the record in the context's block frequencies.
inline void count_record(Decompressor& c, SymbolRecord r) {
  const int symbol = record_symbol(r);
  ++c.symbol_freq[symbol];
  if (symbol >= 256) ++c.offset_freq[std::bit_width(static_cast<unsigned>(record_offset(r)))];
}

// Counts `count` records (the context's frequencies cleared first).
void count_records(Decompressor& c, const SymbolRecord* records, int count);

// Writes one block of 1 to 65535 records whose frequencies are counted in
// the context, with codes built from them, and clears the frequencies.
void write_record_block(Decompressor& c, BitOutput& out, const SymbolRecord* records, int count);

}  // namespace telo
