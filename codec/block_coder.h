#pragma once

// Blocks of the compressor: literals and matches gather in the block buffer
// (the context's window) until about 8 KB, then the block goes out with three
// Huffman codes built from its own frequencies.

#include <bit>
#include <cstdint>

#include "codec/bit_output.h"
#include "codec/context.h"

namespace telo {

// Clears the block buffer and the frequencies for a new stream.
void block_reset(Decompressor& context);

// Starts the next group of eight symbols: a new flag byte, after sending the
// block when the buffer is nearly full. False when the output is full by
// then (or an error is set), and the symbol is to be dropped.
bool block_open_group(Decompressor& context, BitOutput& out);

// Adds a literal (symbol < 256) or a match (symbol 256 + length - 3, offset
// 0..8191) to the block. Sends the block first when the buffer is nearly full;
// if the output is full by then, the symbol is dropped. Inline: it runs once
// per symbol.
inline void block_add(Decompressor& c, BitOutput& out, int symbol, int offset) {
  c.flag_mask >>= 1;
  if (c.flag_mask == 0 && !block_open_group(c, out)) return;
  std::uint8_t* const buffer = c.window;
  std::uint32_t at = c.buffer_pos;
  buffer[at++] = static_cast<std::uint8_t>(symbol);
  ++c.symbol_freq[symbol];
  if (symbol >= 256) {
    buffer[c.flag_index] = static_cast<std::uint8_t>(buffer[c.flag_index] | c.flag_mask);
    buffer[at++] = static_cast<std::uint8_t>(offset >> 8);
    buffer[at++] = static_cast<std::uint8_t>(offset);
    ++c.offset_freq[std::bit_width(static_cast<unsigned>(offset))];
  }
  c.buffer_pos = at;
}

// Writes the block's header, codes and symbols, and clears the frequencies.
void block_send(Decompressor& context, BitOutput& out);

// The pieces of block_send for compressors that keep their symbols elsewhere
// (up to 65535 of them, counted in symbol_freq and offset_freq).
//
// Builds the block's three codes from the frequencies and writes the header:
// symbol count, code-length code, symbol code, offset code. Returns the count.
// The codes stay in symbol_lengths / symbol_codes and small_lengths /
// small_codes for block_put_literal and block_put_match.
int block_write_codes(Decompressor& context, BitOutput& out);

// Clears the symbol and offset frequencies for the next block.
void block_clear_counts(Decompressor& context);

// Bits the block would take (header and symbols) with codes built from the
// current frequencies, which must count between 1 and 65535 symbols. Leaves
// the codes built, as block_write_codes does, and writes nothing.
std::uint64_t block_cost_bits(Decompressor& context);

// Format notes: a literal is the symbol code's word for its byte.
inline void block_put_literal(const Decompressor& c, BitOutput& out, int byte) {
  bits_put(out, c.symbol_lengths[byte], c.symbol_codes[byte]);
}

// Format notes: a match is the symbol code's word for 256 + length - 3, then
// the offset (distance - 1): the offset code's word for its class q (its
// count of significant bits), then, for q > 1, its low q - 1 bits.
inline void block_put_match(const Decompressor& c, BitOutput& out, int symbol, int offset) {
  bits_put(out, c.symbol_lengths[symbol], c.symbol_codes[symbol]);
  const int q = std::bit_width(static_cast<unsigned>(offset));
  bits_put(out, c.small_lengths[q], c.small_codes[q]);
  if (q > 1) bits_put(out, q - 1, static_cast<std::uint32_t>(offset) & ((1u << (q - 1)) - 1));
}

}  // namespace telo
