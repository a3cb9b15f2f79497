#pragma once

// Lookup tables for the decoder's canonical Huffman codes. One entry answers
// a code from its first bits: either the decoded value with the code's
// length, or a link to a subtable for the codes longer than the main table.

#include <cstdint>
#include <span>

#include "codec/codec.h"

namespace telo {

// Entry layout (32 bits): the table's user picks the payload bits, the
// builder adds the code length into the low byte.
//   bits 0..7    code length to discard (the whole code, also in a subtable;
//                offsets: with the class's extra bits after it)
//   bits 8..11   offsets: the class's count of extra bits
//   bits 16..29  the decoded value (symbol, match length or base distance)
//   bit  30      kEntryLink: bits 16..29 are the subtable's first entry,
//                bits 8..11 its index width
//   bit  31      kEntryLiteral: the symbol code's literals, value = the byte
inline constexpr std::uint32_t kEntryLengthMask = 0xFF;
inline constexpr std::uint32_t kEntryLink = 1u << 30;
inline constexpr std::uint32_t kEntryLiteral = 1u << 31;
inline constexpr int kEntryValueShift = 16;
inline constexpr std::uint32_t kEntryValueMask = 0x3FFF;
inline constexpr int kEntryWidthShift = 8;
inline constexpr std::uint32_t kEntryWidthMask = 0xF;

inline constexpr int kSymbolEntryBits = 11;   // main-table width of the symbol code
inline constexpr int kSmallEntryBits = 8;     // main-table width of the small codes

// Upper bound of the entries a complete code of `symbols` lengths (at most 16)
// can need. A subtable of width w serves codes whose longest is w bits past the
// main table; a complete code below one main slot with that depth has at least
// w + 1 leaves, so there are at most symbols / (w + 1) + 1 subtables of the
// widest kind, which are the largest per symbol spent.
constexpr int code_table_entries(int symbols, int table_bits) {
  const int widest = kMaxCodeLength - table_bits;
  return (1 << table_bits) + (symbols / (widest + 1) + 1) * (1 << widest);
}

inline constexpr int kSymbolEntryCount = code_table_entries(kSymbolCodeSize, kSymbolEntryBits);
inline constexpr int kLengthCodeEntryCount = code_table_entries(kLengthCodeSize, kSmallEntryBits);
inline constexpr int kOffsetEntryCount = code_table_entries(kOffsetCodeSize, kSmallEntryBits);
static_assert(kSymbolEntryCount <= int{kEntryValueMask} + 1, "subtable links must fit an entry");

// Payload of a value: where an entry keeps it.
constexpr std::uint32_t entry_value(std::uint32_t value) { return value << kEntryValueShift; }

// A code's lengths with what the table builder needs beyond them: how many
// symbols have each length, and the used symbols (length not 0) in order.
struct CodeLengths {
  const std::uint8_t* lengths = nullptr;  // at most 16 each
  const std::uint16_t* used = nullptr;
  int used_count = 0;
  std::uint32_t counts[kMaxCodeLength + 1] = {};  // counts[0] is not read
};

// Builds the table of the canonical code with these lengths. payloads[s] is
// the entry of symbol s without its length. Returns 0, or CODEC_ERR_BAD_TABLE
// when the lengths do not make a complete code (the table is then untouched).
// `table` must hold code_table_entries(symbols, table_bits) entries for the
// code's alphabet size.
int build_code_table(const CodeLengths& code, int table_bits, const std::uint32_t* payloads,
                     std::span<std::uint32_t> table);

// The same from the plain lengths (0 = unused symbol, each at most 16).
int build_code_table(std::span<const std::uint8_t> lengths, int table_bits,
                     const std::uint32_t* payloads, std::span<std::uint32_t> table);

// The single-symbol form: every lookup yields `payload` and discards no bits.
void fill_single_symbol_table(std::uint32_t payload, int table_bits, std::span<std::uint32_t> table);

}  // namespace telo
