#pragma once

// The header that opens each block: its size and its three code tables.

#include "codec/bit_reader.h"
#include "codec/context.h"

namespace telo {

// Reads the lengths of a small code (the code-length code or the offset code)
// and builds its table. Returns 0 or CODEC_ERR_BAD_TABLE (recorded in the context).
int read_small_lengths(Decompressor& context, BitReader& reader, int symbols, int count_width,
                       int zero_run_index, const std::uint32_t* payloads,
                       std::span<std::uint32_t> table);

// Reads the lengths of the symbol code through the code-length code and builds its table.
int read_symbol_lengths(Decompressor& context, BitReader& reader);

// Reads a whole block header into the context. Returns 0 or CODEC_ERR_BAD_TABLE.
int read_block_header(Decompressor& context, BitReader& reader);

}  // namespace telo
