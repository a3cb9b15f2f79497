#pragma once

// The compressors behind codec_compress_level's fast and best levels. Each
// codes the whole input as blocks into `out` and returns 0, or
// CODEC_ERR_NO_MEMORY when its work memory cannot be had (nothing written).
// The caller closes the stream.

#include <cstdint>
#include <span>

#include "codec/bit_output.h"
#include "codec/context.h"

namespace telo {

int fast_compress(Decompressor& context, std::span<const std::uint8_t> input, BitOutput& out);
int best_compress(Decompressor& context, std::span<const std::uint8_t> input, BitOutput& out);

}  // namespace telo
