#pragma once

// Decoding one call's chunk of output: literals and matches of the current
// block, block headers as they come, a match left over from the last call.

#include <cstdint>

#include "codec/bit_reader.h"
#include "codec/context.h"

namespace telo {

// Produces up to n bytes (1 to 8192) in the chunk area right after the
// window (context.window + kWindowSize), which the caller then moves to the
// destination and to the window. Returns the count produced: n, or fewer when
// the stream was refused (error_code is then set). Bytes of the chunk area
// past the count may be overwritten.
int produce_chunk(Decompressor& context, BitReader& reader, int n);

}  // namespace telo
