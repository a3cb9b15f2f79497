#include "pack/stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "payload/record_reader.h"

namespace telo {
namespace {

std::vector<std::uint8_t> sample(std::size_t size, unsigned variant, bool compressible) {
  std::mt19937 engine(variant);
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = compressible ? static_cast<std::uint8_t>("abcabd\n"[engine() % 7]) : static_cast<std::uint8_t>(engine());
  return bytes;
}

struct Context {
  Decompressor* context = nullptr;
  Context() { EXPECT_EQ(decompressor_create(&context), 0); }
  ~Context() { decompressor_destroy(&context); }
};

// Joins the pieces of `input` cut at `sizes` and decodes the result.
std::vector<std::uint8_t> join_and_decode(const std::vector<std::uint8_t>& input, const std::vector<std::size_t>& sizes,
                                          CompressionLevel level) {
  Context codec;
  StreamJoiner joiner;
  std::vector<std::uint8_t> stream;
  std::size_t at = 0;
  for (std::size_t size : sizes) {
    CompressedPiece piece;
    compress_piece(codec.context, level, {input.data() + at, size}, &piece);
    EXPECT_TRUE(piece.fits);
    join_piece(&joiner, piece, &stream);
    at += size;
  }
  finish_stream(&joiner, &stream);
  std::vector<std::uint8_t> decoded(input.size());
  EXPECT_EQ(decode_stream(stream, decoded), 0);
  return decoded;
}

constexpr CompressionLevel kLevels[] = {CompressionLevel::kFast, CompressionLevel::kReference,
                                        CompressionLevel::kBest};

// Pieces end at every bit position, so each seam is tried at every alignment.
TEST(PackStreamTest, PiecesJoinedBitToBitDecodeAsOneStream) {
  for (CompressionLevel level : kLevels) {
    for (unsigned variant = 0; variant < 24; ++variant) {
      std::vector<std::size_t> sizes = {1 + variant * 37, 8192, 3 + variant, 16385, 100 + variant * 11};
      std::size_t total = 0;
      for (std::size_t size : sizes) total += size;
      std::vector<std::uint8_t> input = sample(total, variant, variant % 3 != 0);
      EXPECT_TRUE(join_and_decode(input, sizes, level) == input)
          << "variant " << variant << " level " << static_cast<int>(level);
    }
  }
}

TEST(PackStreamTest, BitCountLeavesOnlyThePadOfTheLastByte) {
  Context codec;
  for (CompressionLevel level : kLevels) {
    for (std::size_t size : {1u, 2u, 100u, 8192u, 20000u}) {
      std::vector<std::uint8_t> input = sample(size, static_cast<unsigned>(size), true);
      CompressedPiece piece;
      compress_piece(codec.context, level, input, &piece);
      ASSERT_TRUE(piece.fits);
      EXPECT_LE(piece.bit_count, piece.bytes.size() * 8);
      EXPECT_GT(piece.bit_count, piece.bytes.size() * 8 - 8);
    }
  }
}

}  // namespace
}  // namespace telo
