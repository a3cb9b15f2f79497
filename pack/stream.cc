#include "pack/stream.h"

namespace telo {

namespace {

// The stream's bits up to its last symbol: the compressor pads its last byte.
std::uint64_t stream_bit_count(const Decompressor* context, std::uint32_t stream_bytes) {
  return std::uint64_t{stream_bytes} * 8 - static_cast<std::uint64_t>(codec_pad_bits(context));
}

// Appends the top `count` bits of `bits` (the rest zero).
void put_bits(StreamJoiner* joiner, std::uint8_t bits, int count, std::vector<std::uint8_t>* out) {
  int have = joiner->pending_bits;
  joiner->pending = static_cast<std::uint8_t>(joiner->pending | (bits >> have));
  if (have + count < 8) {
    joiner->pending_bits = have + count;
    return;
  }
  out->push_back(joiner->pending);
  joiner->pending = static_cast<std::uint8_t>(bits << (8 - have));
  joiner->pending_bits = have + count - 8;
}

}  // namespace

void compress_piece(Decompressor* context, CompressionLevel level, std::span<const std::uint8_t> input,
                    CompressedPiece* piece) {
  std::size_t room = input.size() + input.size() / 16 + 64;
  piece->bytes.resize(room);
  auto* first = const_cast<std::uint8_t*>(input.data());
  ByteWindow source{first, first + input.size(), 0, first, static_cast<std::uint32_t>(input.size())};
  ByteWindow destination{piece->bytes.data(), piece->bytes.data() + room, 0, piece->bytes.data(),
                         static_cast<std::uint32_t>(room)};
  int result = codec_compress_level(context, level, &source, &destination);
  piece->fits = result == 1;
  if (!piece->fits) {
    piece->bytes.clear();
    piece->bit_count = 0;
    return;
  }
  piece->bytes.resize(destination.consumed);
  piece->bit_count = stream_bit_count(context, destination.consumed);
}

void join_piece(StreamJoiner* joiner, const CompressedPiece& piece, std::vector<std::uint8_t>* out) {
  std::uint64_t whole = piece.bit_count / 8;
  int rest = static_cast<int>(piece.bit_count % 8);
  out->reserve(out->size() + whole + 1);
  if (joiner->pending_bits == 0) {
    out->insert(out->end(), piece.bytes.begin(), piece.bytes.begin() + static_cast<std::ptrdiff_t>(whole));
  } else {
    for (std::uint64_t i = 0; i < whole; ++i) put_bits(joiner, piece.bytes[i], 8, out);
  }
  if (rest != 0) {
    auto top = static_cast<std::uint8_t>(piece.bytes[whole] & (0xFF << (8 - rest)));
    put_bits(joiner, top, rest, out);
  }
}

void finish_stream(StreamJoiner* joiner, std::vector<std::uint8_t>* out) {
  if (joiner->pending_bits != 0) out->push_back(joiner->pending);
  joiner->pending = 0;
  joiner->pending_bits = 0;
}

}  // namespace telo
