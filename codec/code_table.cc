#include "codec/code_table.h"

#include <cassert>
#include <cstring>

namespace telo {
namespace {

constexpr std::uint32_t kCodeSpace = 1u << kMaxCodeLength;  // a complete code fills 2^16
constexpr int kMaxSubtables = 1 << kSymbolEntryBits;        // main slots a subtable can hang on

// Fills `count` entries (a power of two) at `to`; runs of four and more go
// sixteen bytes per store, since a block's tables are rebuilt every few KB.
inline void fill_entries(std::uint32_t* to, std::uint32_t count, std::uint32_t entry) {
  if (count < 4) {
    to[0] = entry;
    if (count == 2) to[1] = entry;
    return;
  }
  const std::uint32_t quad[4] = {entry, entry, entry, entry};
  for (std::uint32_t i = 0; i < count; i += 4) std::memcpy(to + i, quad, sizeof quad);
}

std::uint32_t link_entry(int first, int width) {
  return kEntryLink | entry_value(static_cast<std::uint32_t>(first)) |
         (static_cast<std::uint32_t>(width) << kEntryWidthShift);
}

}  // namespace

// Format notes: codes are canonical. Shorter codes come first and, within one
// length, lower symbols first; a code is read most significant bit first. The
// code must be complete: the lengths add up to exactly 2^16 in units of
// 2^(16 - length). An incomplete set is refused by the format; an all-zero set
// or an over-full one would make the table ambiguous, so they are refused too.
int build_code_table(const CodeLengths& code, int table_bits, const std::uint32_t* payloads,
                     std::span<std::uint32_t> table) {
  assert(table_bits <= kSymbolEntryBits);
  // next[L]: the left-aligned 16-bit code of the next symbol of length L.
  std::uint32_t next[kMaxCodeLength + 2];
  std::uint32_t space = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    next[length] = space;
    space += code.counts[length] << (kMaxCodeLength - length);
  }
  next[kMaxCodeLength + 1] = space;
  if (space != kCodeSpace) return CODEC_ERR_BAD_TABLE;

  // Codes longer than the main table share a main slot per prefix of
  // table_bits; the slot's subtable is as wide as its longest code needs.
  // Lengths in increasing order cover increasing prefixes, so the last
  // length that reaches a prefix is its longest.
  const int sub_shift = kMaxCodeLength - table_bits;
  const int first_long = static_cast<int>(next[table_bits + 1] >> sub_shift);
  const int main_size = 1 << table_bits;
  std::uint8_t widths[kMaxSubtables];
  for (int length = table_bits + 1; length <= kMaxCodeLength; ++length) {
    if (next[length + 1] == next[length]) continue;
    const int from = static_cast<int>(next[length] >> sub_shift);
    const int to = static_cast<int>((next[length + 1] - 1) >> sub_shift);
    std::memset(widths + from, length - table_bits, static_cast<std::size_t>(to - from + 1));
  }
  int next_free = main_size;
  for (int prefix = first_long; prefix < main_size; ++prefix) next_free += 1 << widths[prefix];
  // Cannot happen for a complete code (see code_table_entries); kept as a guard.
  if (next_free > static_cast<int>(table.size())) return CODEC_ERR_BAD_TABLE;
  next_free = main_size;
  for (int prefix = first_long; prefix < main_size; ++prefix) {
    table[prefix] = link_entry(next_free, widths[prefix]);
    next_free += 1 << widths[prefix];
  }

  // The used symbols by length (counting sort), each length in symbol order:
  // the canonical order of the codes.
  std::uint16_t sorted[kSymbolCodeSize];
  std::uint32_t place[kMaxCodeLength + 1];
  place[1] = 0;
  for (int length = 1; length < kMaxCodeLength; ++length) place[length + 1] = place[length] + code.counts[length];
  for (int u = 0; u < code.used_count; ++u) {
    const std::uint16_t symbol = code.used[u];
    sorted[place[code.lengths[symbol]]++] = symbol;
  }

  // Codes that fit the main table fill it from its start, in canonical order,
  // each over all the slots that begin with it; one length at a time, so the
  // fill's size stays the same for a run of symbols.
  std::uint32_t* const entries = table.data();
  std::uint32_t* to = entries;
  int k = 0;
  for (int length = 1; length <= table_bits; ++length) {
    const int count = static_cast<int>(code.counts[length]);
    const std::uint32_t size = 1u << (table_bits - length);
    for (const int stop = k + count; k < stop; ++k) {
      fill_entries(to, size, payloads[sorted[k]] + static_cast<std::uint32_t>(length));
      to += size;
    }
  }
  // Longer codes go into the subtable of their prefix.
  for (int length = table_bits + 1; length <= kMaxCodeLength; ++length) {
    const int count = static_cast<int>(code.counts[length]);
    for (const int stop = k + count; k < stop; ++k) {
      const std::uint32_t symbol_code = next[length];
      next[length] += kCodeSpace >> length;
      const std::uint32_t link = entries[symbol_code >> sub_shift];
      const int width = static_cast<int>((link >> kEntryWidthShift) & kEntryWidthMask);
      const std::uint32_t index = (symbol_code >> (sub_shift - width)) & ((1u << width) - 1);
      fill_entries(entries + ((link >> kEntryValueShift) & kEntryValueMask) + index,
                   1u << (width - (length - table_bits)),
                   payloads[sorted[k]] + static_cast<std::uint32_t>(length));
    }
  }
  return 0;
}

int build_code_table(std::span<const std::uint8_t> lengths, int table_bits,
                     const std::uint32_t* payloads, std::span<std::uint32_t> table) {
  assert(lengths.size() <= kSymbolCodeSize);
  std::uint16_t used[kSymbolCodeSize];
  CodeLengths code;
  code.lengths = lengths.data();
  code.used = used;
  for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
    assert(lengths[symbol] <= kMaxCodeLength);
    if (lengths[symbol] == 0) continue;
    used[code.used_count++] = static_cast<std::uint16_t>(symbol);
    ++code.counts[lengths[symbol]];
  }
  return build_code_table(code, table_bits, payloads, table);
}

void fill_single_symbol_table(std::uint32_t payload, int table_bits, std::span<std::uint32_t> table) {
  fill_entries(table.data(), 1u << table_bits, payload);
}

}  // namespace telo
