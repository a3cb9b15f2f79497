#pragma once

// Blocks of the compressor: literals and matches gather in the block buffer
// (the context's window) until about 8 KB, then the block goes out with three
// Huffman codes built from its own frequencies.

#include <cstdint>

#include "payload/codec/bit_output.h"
#include "payload/codec/context.h"

namespace telo {

// Clears the block buffer and the frequencies for a new stream.
void block_reset(Decompressor& context);

// Adds a literal (symbol < 256) or a match (symbol 256 + length - 3, offset
// 0..8191) to the block. Sends the block first when the buffer is nearly full;
// if the output is full by then, the symbol is dropped.
void block_add(Decompressor& context, BitOutput& out, int symbol, int offset);

// Writes the block's header, codes and symbols, and clears the frequencies.
void block_send(Decompressor& context, BitOutput& out);

}  // namespace telo
