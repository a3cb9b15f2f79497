#include "payload/codec/code_table.h"

#include <algorithm>
#include <cassert>

namespace telo {
namespace {

constexpr std::uint32_t kCodeSpace = 1u << kMaxCodeLength;  // a complete code fills 2^16

std::uint32_t make_entry(std::uint32_t value, int length) {
  return (value << kEntryValueShift) | static_cast<std::uint32_t>(length);
}

}  // namespace

// Format notes: codes are canonical. Shorter codes come first and, within one
// length, lower symbols first; a code is read most significant bit first. The
// code must be complete: the lengths add up to exactly 2^16 in units of
// 2^(16 - length). An incomplete set is refused by the format; an all-zero set
// or an over-full one would make the table ambiguous, so they are refused too.
int build_code_table(std::span<const std::uint8_t> lengths, int table_bits,
                     std::span<const std::uint32_t> payloads, std::span<std::uint32_t> table) {
  const int symbols = static_cast<int>(lengths.size());
  assert(symbols <= kSymbolCodeSize && table_bits < kMaxCodeLength);
  // Two interleaved histograms: runs of equal lengths would otherwise wait
  // on one counter's store after another.
  int halves[2][kMaxCodeLength + 1] = {};
  for (int symbol = 0; symbol < symbols; ++symbol) {
    assert(lengths[symbol] <= kMaxCodeLength);
    ++halves[symbol & 1][lengths[symbol]];
  }
  int count[kMaxCodeLength + 1];
  for (int length = 0; length <= kMaxCodeLength; ++length) count[length] = halves[0][length] + halves[1][length];
  std::uint32_t space = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    space += static_cast<std::uint32_t>(count[length]) << (kMaxCodeLength - length);
  }
  if (space != kCodeSpace) return CODEC_ERR_BAD_TABLE;

  // Symbols in canonical order, with their left-aligned 16-bit codes.
  int first[kMaxCodeLength + 2] = {};
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    first[length + 1] = first[length] + count[length];
  }
  std::uint16_t order[kSymbolCodeSize];
  for (int symbol = 0; symbol < symbols; ++symbol) {
    if (lengths[symbol] != 0) order[first[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);
  }
  const int used = first[kMaxCodeLength + 1];
  std::uint32_t codes[kSymbolCodeSize];
  std::uint32_t code = 0;
  for (int i = 0; i < used; ++i) {
    codes[i] = code;
    code += kCodeSpace >> lengths[order[i]];
  }

  auto payload_of = [&](int symbol) {
    return payloads.empty() ? static_cast<std::uint32_t>(symbol) : payloads[symbol];
  };
  const int sub_shift = kMaxCodeLength - table_bits;
  int next_free = 1 << table_bits;
  int i = 0;
  // Codes that fit the main table fill every slot that starts with them.
  for (; i < used && lengths[order[i]] <= table_bits; ++i) {
    const int length = lengths[order[i]];
    const std::uint32_t entry = make_entry(payload_of(order[i]), length);
    const std::uint32_t slot = codes[i] >> sub_shift;
    std::fill_n(table.begin() + slot, 1u << (table_bits - length), entry);
  }
  // Longer codes share a main slot per prefix; the prefix's subtable is as
  // wide as its longest code needs (the last of the group in canonical order).
  while (i < used) {
    const std::uint32_t prefix = codes[i] >> sub_shift;
    int end = i;
    while (end < used && (codes[end] >> sub_shift) == prefix) ++end;
    const int width = lengths[order[end - 1]] - table_bits;
    // Cannot happen for a complete code (see code_table_entries); kept as a guard.
    if (next_free + (1 << width) > static_cast<int>(table.size())) return CODEC_ERR_BAD_TABLE;
    table[prefix] = make_entry(static_cast<std::uint32_t>(next_free), width) | kEntryLink;
    for (; i < end; ++i) {
      const int length = lengths[order[i]] - table_bits;
      const std::uint32_t index = (codes[i] >> (sub_shift - width)) & ((1u << width) - 1);
      std::fill_n(table.begin() + next_free + index, 1u << (width - length),
                  make_entry(payload_of(order[i]), length));
    }
    next_free += 1 << width;
  }
  return 0;
}

void fill_single_symbol_table(std::uint32_t payload, int table_bits, std::span<std::uint32_t> table) {
  std::fill_n(table.begin(), 1u << table_bits, make_entry(payload, 0));
}

}  // namespace telo
