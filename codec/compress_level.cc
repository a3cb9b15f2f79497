// codec_compress_level: picks the level's compressor and frames its stream
// the way codec_compress does, so that callers see no difference but size.

#include <cstdint>
#include <span>

#include "codec/bit_output.h"
#include "codec/codec.h"
#include "codec/context.h"
#include "codec/level_compressors.h"

namespace telo {

namespace {

constexpr int kClosingZeroBits = 7;  // push out the last partial byte

// Keeps in the context what codec_compress leaves there about its output:
// whether it filled up, and the free bits of the last byte, from which a
// caller knows how many bits the stream holds.
void save_output_state(Decompressor& c, const BitOutput& out) {
  c.output_full = out.full ? 1 : 0;
  c.out_free_bits = 8 - (out.count & 7);
  c.out_byte = static_cast<std::uint32_t>(out.pending << (8 - (out.count & 7))) & 0xFF;
}

}  // namespace

// The closing 7 zero bits: when the stream stood on a byte boundary they
// stay in the bit buffer and are never written (one free bit left);
// otherwise they complete the last byte, whose out_free_bits - 1 low bits
// are then padding.
int codec_pad_bits(const Decompressor* context) { return context->out_free_bits - 1; }

// Format notes: a stream is its blocks back to back, then 7 zero bits that
// complete the last byte; there is no end marker. An empty input gives no
// block at all, so its stream is empty and joins to others as nothing.
int codec_compress_level(Decompressor* context, CompressionLevel level, ByteWindow* source,
                         ByteWindow* destination) {
  if (level == CompressionLevel::kReference) return codec_compress(context, source, destination);
  if (context == nullptr || source == nullptr || destination == nullptr) return CODEC_ERR_MISUSE;
  if (level != CompressionLevel::kFast && level != CompressionLevel::kBest) return CODEC_ERR_MISUSE;
  Decompressor& c = *context;
  if (c.error_code != 0) return c.error_code;

  const std::span<const std::uint8_t> input(source->pos, static_cast<std::size_t>(source->end - source->pos));
  BitOutput out;
  std::uint8_t* const out_start = destination->pos;
  bit_output_start(out, destination->pos, destination->end);
  const int error = level == CompressionLevel::kFast ? fast_compress(c, input, out)
                                                     : best_compress(c, input, out);
  if (error != 0) return error;
  if (!out.full) {
    bits_put(out, kClosingZeroBits, 0);
    bits_flush(out);
  }
  source->pos = source->end;
  source->consumed += static_cast<std::uint32_t>(input.size());
  destination->pos = out.pos;
  destination->consumed += static_cast<std::uint32_t>(out.pos - out_start);
  save_output_state(c, out);
  return out.full ? 0 : 1;
}

}  // namespace telo
