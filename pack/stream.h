#pragma once

// Compressing one file as pieces that can be coded on separate threads and
// joined into the single stream a record stores.
//
// A piece is a complete codec stream of its own. Its blocks end exactly
// where its last symbol ends, and the decoder reads the next block header
// as soon as a block is used up, so pieces joined bit to bit (dropping each
// piece's closing pad bits) decode as one stream. A piece never reaches back
// into the previous one, which costs a little ratio at each seam.

#include <cstdint>
#include <span>
#include <vector>

#include "codec/codec.h"

namespace telo {

// Files are cut into pieces of this size (the last one may be shorter)
// unless the build asks for another (a multiple of 8192, so that each piece
// starts where a decode call starts). The cut depends only on the file's
// size, so the output does not depend on the number of threads.
inline constexpr std::uint32_t kPackPieceSize = 2u << 20;
inline constexpr std::uint32_t kMinPackPieceSize = 1u << 20;
inline constexpr std::uint32_t kMaxPackPieceSize = 64u << 20;

struct CompressedPiece {
  std::vector<std::uint8_t> bytes;   // the stream, closing pad bits included
  std::uint64_t bit_count = 0;       // bits that belong to the stream
  bool fits = false;                 // false: the piece would not shrink enough to matter
};

// Codes `input` (at least one byte) at `level` with `context` (from
// decompressor_create, reused from piece to piece). `fits` is false when the
// stream would be more than `input.size() + input.size() / 16 + 64` bytes
// long, or on a codec error.
void compress_piece(Decompressor* context, CompressionLevel level, std::span<const std::uint8_t> input,
                    CompressedPiece* piece);

// Joins pieces bit to bit, handing out whole bytes as they are completed.
struct StreamJoiner {
  std::uint8_t pending = 0;   // completed bits, from the top
  int pending_bits = 0;       // 0..7
};

// Appends the piece's bit_count bits; the completed bytes go to `out`.
void join_piece(StreamJoiner* joiner, const CompressedPiece& piece, std::vector<std::uint8_t>* out);

// Pads the last partial byte with zero bits and hands it out.
void finish_stream(StreamJoiner* joiner, std::vector<std::uint8_t>* out);

}  // namespace telo
