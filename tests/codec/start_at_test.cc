// Decoding from a piece: a stream joined from pieces, each coded on its own,
// must decode from any piece's first bit with a fresh window exactly as the
// whole stream decodes from that piece's output offset; a wrong start gives
// other bytes or an error, never a crash.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "tests/codec/decode_driver.h"
#include "tests/codec/sample_inputs.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Context {
  Decompressor* context = nullptr;
  Context() { EXPECT_EQ(decompressor_create(&context), 0); }
  ~Context() { decompressor_destroy(&context); }
};

// A stream made of pieces, and where each piece starts in bits and bytes out.
struct JoinedStream {
  Bytes bytes;
  Bytes input;
  std::vector<std::uint64_t> bit_starts;
  std::vector<std::size_t> output_starts;
};

void append_bits(Bytes* out, std::uint64_t* bit, const Bytes& stream, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i, ++*bit) {
    if (*bit % 8 == 0) out->push_back(0);
    const int value = (stream[i / 8] >> (7 - i % 8)) & 1;
    out->back() = static_cast<std::uint8_t>(out->back() | value << (7 - *bit % 8));
  }
}

// Codes each part on its own and joins them bit to bit, as the packer does.
JoinedStream join_pieces(CompressionLevel level, const std::vector<Bytes>& parts) {
  Context codec;
  JoinedStream joined;
  std::uint64_t bit = 0;
  for (const Bytes& part : parts) {
    Bytes in = part;
    Bytes out(in.size() * 2 + 64);
    ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
    ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
    EXPECT_EQ(codec_compress_level(codec.context, level, &source, &destination), 1);
    const std::uint64_t bits = std::uint64_t{destination.consumed} * 8 -
                               static_cast<std::uint64_t>(codec_pad_bits(codec.context));
    joined.bit_starts.push_back(bit);
    joined.output_starts.push_back(joined.input.size());
    append_bits(&joined.bytes, &bit, out, bits);
    joined.input.insert(joined.input.end(), part.begin(), part.end());
  }
  return joined;
}

struct Decoded {
  Bytes output;
  int result = 0;
};

// Decodes `total` bytes in the extractor's calls from `bit_offset` of `stream`.
Decoded decode_from(const Bytes& stream, std::uint64_t bit_offset, std::size_t total) {
  Context codec;
  Bytes source_bytes = stream;  // exact size, so that a read past it shows under ASan
  ByteWindow source{source_bytes.data(), source_bytes.data() + source_bytes.size(), 0, source_bytes.data(), 0};
  decompressor_start_at(codec.context, bit_offset);
  Decoded decoded;
  decoded.output.assign(total, 0);
  for (std::size_t at = 0; at < total && decoded.result == 0; at += kChunkLimit) {
    const std::size_t call = std::min<std::size_t>(kChunkLimit, total - at);
    ByteWindow destination{decoded.output.data() + at, decoded.output.data() + at + call, 0, nullptr, 0};
    decoded.result = decompressor_decode(codec.context, &source, &destination);
  }
  return decoded;
}

Bytes words(std::size_t n, unsigned variant) {
  static const char* const vocabulary[] = {"piece ", "the ", "window ", "stream ", "of ", "bits ", "\n"};
  return testing::words_from(vocabulary, n, variant);
}

// Parts of whole multiples of the decode call, text and noise, so that seams
// fall at every bit alignment; the last part is shorter.
std::vector<Bytes> sample_parts(unsigned variant) {
  return {words(3 * kChunkLimit, variant), testing::random_bytes(kChunkLimit, variant),
          words(2 * kChunkLimit, variant + 1), Bytes(kChunkLimit, 0x5A), words(5000 + variant * 7, variant + 2)};
}

constexpr CompressionLevel kLevels[] = {CompressionLevel::kFast, CompressionLevel::kReference,
                                        CompressionLevel::kBest};

TEST(DecodeFromPiece, EachPieceDecodesAsTheWholeStreamFromItsOutputOffset) {
  for (CompressionLevel level : kLevels) {
    for (unsigned variant = 0; variant < 3; ++variant) {
      SCOPED_TRACE("level " + std::to_string(static_cast<int>(level)) + " variant " + std::to_string(variant));
      const JoinedStream joined = join_pieces(level, sample_parts(variant));
      const Bytes whole = testing::decode_stream(joined.bytes, joined.input.size());
      ASSERT_EQ(whole, joined.input);
      for (std::size_t p = 0; p < joined.bit_starts.size(); ++p) {
        const std::size_t from = joined.output_starts[p];
        const Decoded piece = decode_from(joined.bytes, joined.bit_starts[p], whole.size() - from);
        EXPECT_EQ(piece.result, 0) << "piece " << p;
        EXPECT_TRUE(piece.output == Bytes(whole.begin() + static_cast<std::ptrdiff_t>(from), whole.end()))
            << "piece " << p << " from bit " << joined.bit_starts[p];
      }
    }
  }
}

TEST(DecodeFromPiece, BitsUsedCountFromTheSourcesFirstByte) {
  const JoinedStream joined = join_pieces(CompressionLevel::kFast, sample_parts(4));
  Context codec;
  Bytes source_bytes = joined.bytes;
  ByteWindow source{source_bytes.data(), source_bytes.data() + source_bytes.size(), 0, source_bytes.data(), 0};
  const std::size_t from = joined.output_starts[3];
  decompressor_start_at(codec.context, joined.bit_starts[3]);
  Bytes out(joined.input.size() - from);
  for (std::size_t at = 0; at < out.size(); at += kChunkLimit) {
    const std::size_t call = std::min<std::size_t>(kChunkLimit, out.size() - at);
    ByteWindow destination{out.data() + at, out.data() + at + call, 0, nullptr, 0};
    ASSERT_EQ(decompressor_decode(codec.context, &source, &destination), 0);
  }
  // The last piece's symbols end where the joined stream's bits end.
  const std::uint64_t used = decompressor_bits_used(codec.context, &source);
  EXPECT_LE(used, source_bytes.size() * 8);
  EXPECT_GT(used, source_bytes.size() * 8 - 8);
}

TEST(DecodeFromPiece, AFreshStartAfterAPieceForgetsTheEarlierOne) {
  // One context serves a piece, then another start, as a reader reuses it.
  const JoinedStream joined = join_pieces(CompressionLevel::kBest, sample_parts(5));
  Context codec;
  Bytes source_bytes = joined.bytes;
  for (std::size_t p : {std::size_t{2}, std::size_t{1}, std::size_t{0}}) {
    ByteWindow source{source_bytes.data(), source_bytes.data() + source_bytes.size(), 0, source_bytes.data(), 0};
    decompressor_start_at(codec.context, joined.bit_starts[p]);
    Bytes out(kChunkLimit);
    ByteWindow destination{out.data(), out.data() + out.size(), 0, nullptr, 0};
    ASSERT_EQ(decompressor_decode(codec.context, &source, &destination), 0);
    const auto from = static_cast<std::ptrdiff_t>(joined.output_starts[p]);
    EXPECT_TRUE(out == Bytes(joined.input.begin() + from, joined.input.begin() + from + kChunkLimit)) << p;
  }
}

TEST(DecodeFromPiece, AWrongStartGivesOtherBytesOrAnErrorNeverACrash) {
  const JoinedStream joined = join_pieces(CompressionLevel::kFast, sample_parts(6));
  const std::size_t from = joined.output_starts[2];
  const Bytes expected(joined.input.begin() + static_cast<std::ptrdiff_t>(from), joined.input.end());
  const std::uint64_t right = joined.bit_starts[2];
  const std::uint64_t end_bits = joined.bytes.size() * 8;
  for (std::uint64_t start : {right - 1, right + 1, right + 3, right + 8, right - 8, std::uint64_t{1}, end_bits - 5,
                              end_bits, end_bits + 9, std::uint64_t{1} << 40}) {
    const Decoded decoded = decode_from(joined.bytes, start, expected.size());
    EXPECT_TRUE(decoded.result != 0 || decoded.output != expected) << "start " << start;
  }
}

}  // namespace
}  // namespace telo
