#include "codec/level_compressors.h"
namespace telo {
int best_compress(Decompressor& c, std::span<const std::uint8_t> input, BitOutput& out) { return fast_compress(c, input, out); }
}
