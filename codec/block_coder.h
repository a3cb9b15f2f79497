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

}  // namespace telo
