#include "codec/block_header.h"

#include <algorithm>
#include <array>
#include <bit>

#include "codec/code_table.h"
#include "codec/input_check.h"
#include "codec/symbol_decoder.h"

namespace telo {
namespace {

constexpr int kBlockSizeBits = 16;
constexpr int kLengthCodeCountBits = 5;
constexpr int kOffsetCodeCountBits = 4;
constexpr int kSymbolCountBits = 9;
constexpr int kLengthCodeZeroRunIndex = 3;  // after the third length: how many of 3..5 are 0
constexpr int kZeroRunBits = 2;
constexpr int kLengthPrefixBits = 3;        // lengths 0..6 as-is; 7 means "count the ones after"
constexpr int kLongestOnesRun = 13;         // ones after the prefix (length 20, out of range)

template <int symbols, typename Make>
constexpr std::array<std::uint32_t, symbols> make_payloads(Make make) {
  std::array<std::uint32_t, symbols> payloads{};
  for (int s = 0; s < symbols; ++s) payloads[s] = make(static_cast<std::uint32_t>(s));
  return payloads;
}

// Entries of the code-length code carry its symbol.
constexpr auto kLengthCodePayloads =
    make_payloads<kLengthCodeSize>([](std::uint32_t t) { return entry_value(t); });

// Symbol-code entries: a literal is flagged and carries its byte, a match
// carries its length (symbol - 253, 3 to 256).
constexpr auto kSymbolPayloads = make_payloads<kSymbolCodeSize>([](std::uint32_t s) {
  return s < 256 ? kEntryLiteral | entry_value(s) : entry_value(s - 253);
});

// Offset class q: the distance base 2^(q-1) + 1 (1 for class 0) and q - 1
// extra bits, counted also in the length the table builder adds the code's to.
constexpr auto kOffsetPayloads = make_payloads<kOffsetCodeSize>([](std::uint32_t q) {
  return q == 0 ? entry_value(1) : entry_value((1u << (q - 1)) + 1) | ((q - 1) << kEntryWidthShift) | (q - 1);
});
static_assert(kOffsetPayloads[kOffsetCodeSize - 1] == (entry_value(4097) | (12u << kEntryWidthShift) | 12u));

// Format notes: a length 0..6 is its 3-bit value; a length of 7 or more is
// three 1 bits, one more 1 bit for each step above 7, then a 0 bit. Sixteen
// bits show every length up to 16 with its closing 0. Returns the length
// (above 16 when the stream holds a longer one, which nothing writes).
int read_one_length(BitReader& reader) {
  int length = static_cast<int>(peek_bits(reader, kLengthPrefixBits));
  if (length < 7) {
    skip_bits(reader, kLengthPrefixBits);
    return length;
  }
  const int ones = std::min(std::countl_one(reader.bits << kLengthPrefixBits), kLongestOnesRun);
  length += ones;
  if (length <= kMaxCodeLength) skip_bits(reader, length - kLengthPrefixBits);
  return length;
}

}  // namespace

// Format notes: count (count_width bits) lengths follow, the rest are 0.
// Count 0 is the single-symbol form: the symbol follows in count_width bits
// and costs no bits where it is used. After the length at zero_run_index - 1
// a 2-bit field says how many lengths after it are 0, even when the count
// has been reached. Refused: a count or single symbol beyond the alphabet,
// a length above 16, a zero run past the alphabet, an incomplete code.
int read_small_lengths(Decompressor& context, BitReader& reader, int symbols, int count_width,
                       int zero_run_index, const std::uint32_t* payloads,
                       std::span<std::uint32_t> table) {
  std::uint8_t* lengths = context.small_lengths;
  refill(reader);
  const int count = static_cast<int>(take_bits(reader, count_width));
  if (count == 0) {
    const int symbol = static_cast<int>(take_bits(reader, count_width));
    if (stream_rejects(context, symbol >= symbols)) return context.error_code;
    std::fill_n(lengths, symbols, 0);
    fill_single_symbol_table(payloads[symbol], kSmallEntryBits, table);
    return 0;
  }
  if (stream_rejects(context, count > symbols)) return context.error_code;
  int i = 0;
  while (i < count) {
    refill(reader);
    const int length = read_one_length(reader);
    if (stream_rejects(context, length > kMaxCodeLength)) return context.error_code;
    lengths[i++] = static_cast<std::uint8_t>(length);
    if (i == zero_run_index) {
      const int zeros = static_cast<int>(take_bits(reader, kZeroRunBits));
      if (stream_rejects(context, i + zeros > symbols)) return context.error_code;
      std::fill_n(lengths + i, zeros, 0);
      i += zeros;
    }
  }
  std::fill(lengths + i, lengths + symbols, 0);
  const int built = build_code_table({lengths, static_cast<std::size_t>(symbols)}, kSmallEntryBits,
                                     payloads, table);
  return stream_rejects(context, built != 0) ? context.error_code : 0;
}

// Format notes: count (9 bits) symbols of the code-length code follow, the
// rest of the 510 lengths are 0; count 0 is the single-symbol form with the
// symbol in 9 bits. Code-length symbols: 0 is one zero length, 1 is 3 + (4
// bits) zeros, 2 is 20 + (9 bits) zeros, 3..18 a length of 1..16. Refused:
// a count or single symbol beyond 510, a zero run past 510, an incomplete code.
int read_symbol_lengths(Decompressor& context, BitReader& reader) {
  std::uint8_t* lengths = context.symbol_lengths;
  refill(reader);
  const int count = static_cast<int>(take_bits(reader, kSymbolCountBits));
  if (count == 0) {
    const int symbol = static_cast<int>(take_bits(reader, kSymbolCountBits));
    if (stream_rejects(context, symbol >= kSymbolCodeSize)) return context.error_code;
    std::fill_n(lengths, kSymbolCodeSize, 0);
    fill_single_symbol_table(kSymbolPayloads[symbol], kSymbolEntryBits, context.symbol_entries);
    return 0;
  }
  if (stream_rejects(context, count > kSymbolCodeSize)) return context.error_code;
  // The table builder's counts and list of used symbols are gathered here,
  // which spares it a pass over all 510 lengths. The reader and the counts
  // are kept in locals: the byte stores into the lengths could otherwise
  // touch them, as far as the compiler knows. Two interleaved histograms, as
  // runs of equal lengths would wait on one counter's store after another.
  std::uint16_t used[kSymbolCodeSize];
  std::uint32_t halves[2][kMaxCodeLength + 1] = {};
  int used_count = 0;
  bool past_the_end = false;
  BitReader r = reader;
  int i = 0;
  while (i < count) {
    // A token is at most 16 code bits and 9 extra bits; most are short, so
    // the reader is refilled only when it runs low.
    if (r.count < kMaxCodeLength + 9) refill(r);
    const auto token = static_cast<int>(
        entry_value_of(decode_entry(r, context.length_code_entries, kSmallEntryBits)));
    if (token >= 3) {
      const int length = token - 2;
      lengths[i] = static_cast<std::uint8_t>(length);
      ++halves[used_count & 1][length];
      used[used_count++] = static_cast<std::uint16_t>(i);
      ++i;
      continue;
    }
    int zeros = 1;
    if (token == 1) zeros = 3 + static_cast<int>(take_bits(r, 4));
    if (token == 2) zeros = 20 + static_cast<int>(take_bits(r, 9));
    if (i + zeros > kSymbolCodeSize) {
      past_the_end = true;
      break;
    }
    std::fill_n(lengths + i, zeros, 0);
    i += zeros;
  }
  reader = r;
  if (stream_rejects(context, past_the_end)) return context.error_code;
  std::fill(lengths + i, lengths + kSymbolCodeSize, 0);
  CodeLengths code;
  code.lengths = lengths;
  code.used = used;
  code.used_count = used_count;
  for (int length = 1; length <= kMaxCodeLength; ++length) code.counts[length] = halves[0][length] + halves[1][length];
  const int built = build_code_table(code, kSymbolEntryBits, kSymbolPayloads.data(),
                                     context.symbol_entries);
  return stream_rejects(context, built != 0) ? context.error_code : 0;
}

// Format notes: a block is its size (16 bits, the number of symbols), the
// code-length code, the symbol code and the offset code, then its symbols.
// Blocks follow each other bit to bit, without alignment.
int read_block_header(Decompressor& context, BitReader& reader) {
  refill(reader);
  context.block_remaining = static_cast<std::int32_t>(take_bits(reader, kBlockSizeBits));
  if (read_small_lengths(context, reader, kLengthCodeSize, kLengthCodeCountBits,
                         kLengthCodeZeroRunIndex, kLengthCodePayloads.data(),
                         context.length_code_entries) != 0 ||
      read_symbol_lengths(context, reader) != 0) {
    return context.error_code;
  }
  return read_small_lengths(context, reader, kOffsetCodeSize, kOffsetCodeCountBits, 0,
                            kOffsetPayloads.data(), context.offset_entries);
}

}  // namespace telo
