#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/codec_memory.h"
#include "codec/context.h"
#include "tests/codec/sample_inputs.h"
#include "tests/codec/stream_reader.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::random_bytes;

// A context with no work arrays: the compressor allocates them itself.
struct BareContext {
  std::unique_ptr<Decompressor> context = std::make_unique<Decompressor>();
  ~BareContext() {
    Decompressor& c = *context;
    for (void* array : {static_cast<void*>(c.text), static_cast<void*>(c.window), c.trie_store}) {
      std::free(array);
    }
  }
};

struct Compressed {
  int result = 0;
  Bytes stream;
  std::uint32_t source_consumed = 0;
  std::uint32_t stream_consumed = 0;
};

Compressed compress(Decompressor& context, const Bytes& input, std::size_t room) {
  Bytes in = input;
  Bytes out(room);
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), static_cast<std::uint32_t>(in.size())};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), static_cast<std::uint32_t>(room)};
  Compressed c;
  c.result = codec_compress(&context, &source, &destination);
  EXPECT_EQ(source.pos, in.data() + (c.result == 1 ? in.size() : source.consumed));
  c.source_consumed = source.consumed;
  c.stream_consumed = destination.consumed;
  c.stream.assign(out.data(), destination.pos);
  EXPECT_EQ(c.stream.size(), destination.consumed);
  return c;
}

Compressed compress(const Bytes& input) {
  BareContext bare;
  return compress(*bare.context, input, input.size() + input.size() / 8 + 64);
}

Bytes run_of(std::size_t n, std::uint8_t byte) { return Bytes(n, byte); }

// Words from a small vocabulary: text-like, with matches at every distance.
Bytes words(std::size_t n, unsigned variant) {
  static const char* const vocabulary[] = {"the ", "payload ", "installer ", "window ", "of ",
                                           "match ", "code ", "block ", "\n", "Huffman "};
  return testing::words_from(vocabulary, n, variant);
}

TEST(CompressorTest, EmptyInputIsSevenZeroBytes) {
  const Compressed c = compress({});
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.stream, Bytes(7, 0));
  EXPECT_EQ(c.source_consumed, 0u);
  EXPECT_EQ(c.stream_consumed, 7u);
}

TEST(CompressorTest, OneAndTwoBytesAreLiterals) {
  for (const Bytes& input : {Bytes{'x'}, Bytes{'x', 'y'}, Bytes{'x', 'x'}}) {
    const Compressed c = compress(input);
    ASSERT_EQ(c.result, 1);
    const auto parsed = testing::parse_stream(c.stream, input.size());
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.blocks.size(), 1u);
    ASSERT_EQ(parsed.blocks[0].tokens.size(), input.size());
    for (const auto& token : parsed.blocks[0].tokens) EXPECT_LT(token.symbol, 256);
    EXPECT_EQ(parsed.output, input);
  }
}

TEST(CompressorTest, LongRunIsOneLiteralThenOffsetZeroMatches) {
  const Bytes input = run_of(1000, 'a');
  const Compressed c = compress(input);
  ASSERT_EQ(c.result, 1);
  const auto parsed = testing::parse_stream(c.stream, input.size());
  ASSERT_EQ(parsed.error, "");
  const auto& tokens = parsed.blocks.at(0).tokens;
  ASSERT_GE(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].symbol, 'a');
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    EXPECT_GE(tokens[i].symbol, 256) << i;
    EXPECT_EQ(tokens[i].offset, 0) << i;
  }
  EXPECT_EQ(tokens[1].symbol, 256 + 253);  // the longest match, 256 bytes
  EXPECT_EQ(parsed.output, input);
}

TEST(CompressorTest, BlockOfOneSymbolUsesSingleSymbolFormAndCostsNoBits) {
  // One literal, then matches of 256: the blocks after the first hold nothing else.
  const Bytes input = run_of(1 + 256 * 6000, 0x5A);
  const Compressed c = compress(input);
  ASSERT_EQ(c.result, 1);
  const auto parsed = testing::parse_stream(c.stream, input.size());
  ASSERT_EQ(parsed.error, "");
  ASSERT_GE(parsed.blocks.size(), 3u);
  const auto& block = parsed.blocks[1];
  EXPECT_EQ(block.symbol_code.single, 256 + 253);
  EXPECT_EQ(block.length_code.single, 0);
  EXPECT_EQ(block.offset_code.single, 0);
  EXPECT_EQ(block.header_bits, 16u + 5 + 5 + 9 + 9 + 4 + 4);
  EXPECT_EQ(block.bits, block.header_bits);
  EXPECT_EQ(static_cast<std::size_t>(block.size), block.tokens.size());
  EXPECT_EQ(parsed.output, input);
}

TEST(CompressorTest, MatchesStayWithinLengthWindowAndInput) {
  const Bytes input = words(200000, 7);
  const Compressed c = compress(input);
  ASSERT_EQ(c.result, 1);
  const auto parsed = testing::parse_stream(c.stream, input.size());
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.output, input);
  std::size_t at = 0;
  for (const auto& block : parsed.blocks) {
    EXPECT_LE(block.size, 7264);
    for (const auto& token : block.tokens) {
      if (token.symbol >= 256) {
        EXPECT_LT(token.offset, kWindowSize);
        EXPECT_LE(static_cast<std::size_t>(token.offset), at);
        at += static_cast<std::size_t>(token.symbol - 253);
      } else {
        ++at;
      }
    }
  }
  EXPECT_EQ(at, input.size());
}

TEST(CompressorTest, LazyRuleTakesTheLongerMatchOneByteLater) {
  // At "abcd" a 3-byte match "abc" starts, but one byte later "bcdefgh" matches
  // 7 bytes: the first byte goes out as a literal and the long match follows.
  const std::string text = "abcXbcdefghYabcdefghZ";
  const Bytes input(text.begin(), text.end());
  const Compressed c = compress(input);
  const auto parsed = testing::parse_stream(c.stream, input.size());
  ASSERT_EQ(parsed.error, "");
  std::vector<int> symbols;
  for (const auto& token : parsed.blocks.at(0).tokens) symbols.push_back(token.symbol);
  const std::vector<int> expected = {'a', 'b', 'c', 'X', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                     'Y', 'a', 7 + 253, 'Z'};
  EXPECT_EQ(symbols, expected);
  EXPECT_EQ(parsed.blocks[0].tokens[13].offset, 8);  // "bcdefgh" 9 bytes back: distance - 1
  EXPECT_EQ(parsed.output, input);
}

std::uint64_t fnv1a(const Bytes& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
  return hash;
}

// Runs of few byte values with copies from up to 8192 bytes back.
Bytes structured(std::size_t n, unsigned variant) {
  std::mt19937 rng(variant);
  Bytes v;
  while (v.size() < n) {
    // Two draws in one expression would be evaluated in an unspecified order.
    const std::uint32_t draw = rng();
    const bool long_run = rng() % 4 == 0;
    const std::size_t run = 1 + draw % (long_run ? 300 : 9);
    if (rng() % 3 == 0 && v.size() > 8192) {
      const std::size_t from = v.size() - 1 - rng() % 8192;
      for (std::size_t k = 0; k < run; ++k) v.push_back(v[from + k]);
    } else {
      v.insert(v.end(), run, static_cast<std::uint8_t>(rng() % 4));
    }
  }
  v.resize(n);
  return v;
}

// The stream is a fixed function of the input: any change to these bytes is
// a change of the format's writer, however fast the new code is.
TEST(CompressorTest, StreamsStayByteForByteTheSame) {
  struct Pinned {
    Bytes input;
    std::size_t size;
    std::uint64_t hash;
  };
  const Pinned pinned[] = {
      {words(300000, 11), 38428, 0xe00a5b70b08de7a1ull},
      {structured(300000, 12), 8783, 0x74495e16302e43fdull},
      {random_bytes(50000, 13), 50308, 0xaccc1a74cef1aee6ull},
  };
  for (const Pinned& p : pinned) {
    const Compressed c = compress(p.input);
    EXPECT_EQ(c.stream.size(), p.size);
    EXPECT_EQ(fnv1a(c.stream), p.hash) << std::hex << fnv1a(c.stream);
  }
}

TEST(CompressorTest, DestinationTooSmallGivesZero) {
  const Bytes input = words(50000, 3);
  const Compressed full = compress(input);
  ASSERT_EQ(full.result, 1);
  for (std::size_t room : {std::size_t{0}, std::size_t{1}, full.stream.size() / 2,
                           full.stream.size() - 1}) {
    BareContext bare;
    const Compressed c = compress(*bare.context, input, room);
    EXPECT_EQ(c.result, 0) << room;
    EXPECT_EQ(c.stream.size(), room);
    EXPECT_TRUE(std::equal(c.stream.begin(), c.stream.end(), full.stream.begin())) << room;
  }
  BareContext bare;
  const Compressed exact = compress(*bare.context, input, full.stream.size());
  EXPECT_EQ(exact.result, 1);
  EXPECT_EQ(exact.stream, full.stream);
  EXPECT_EQ(compress(*bare.context, {}, 6).result, 0);
}

TEST(CompressorTest, SameInputGivesSameBytesWhateverCameBefore) {
  // The last "abc" of the short one matches both earlier ones; the byte after
  // the input (left behind by the long one) must not pick between them.
  const std::string ends = "abcP1abcQ2abcPPPP";
  const Bytes inputs[] = {Bytes(ends.begin(), ends.end()), Bytes(ends.begin(), ends.end() - 4),
                          words(30000, 1), random_bytes(20000, 2), run_of(9000, 0),
                          words(100, 4), {}};
  std::vector<Bytes> first;
  for (const Bytes& input : inputs) first.push_back(compress(input).stream);

  // One context for everything, in an order that leaves other data behind.
  BareContext shared;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < std::size(inputs); ++i) {
      const std::size_t k = round == 0 ? i : std::size(inputs) - 1 - i;
      const Compressed c = compress(*shared.context, inputs[k], inputs[k].size() * 2 + 64);
      EXPECT_EQ(c.result, 1);
      EXPECT_EQ(c.stream, first[k]) << "input " << k << " round " << round;
    }
  }
}

TEST(CompressorTest, FullDestinationDoesNotSpoilTheNextCall) {
  const Bytes input = words(20000, 9);
  BareContext bare;
  EXPECT_EQ(compress(*bare.context, input, 10).result, 0);
  const Compressed again = compress(*bare.context, input, input.size());
  EXPECT_EQ(again.result, 1);
  EXPECT_EQ(again.stream, compress(input).stream);
}

TEST(CompressorTest, ContextTellsHowManyBitsTheStreamHolds) {
  // The closing 7 zero bits leave out_free_bits - 1 padding bits in the last byte.
  for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 100u, 7000u, 30000u}) {
    BareContext bare;
    const Bytes input = words(n, static_cast<unsigned>(n));
    const Compressed c = compress(*bare.context, input, n * 2 + 64);
    const auto parsed = testing::parse_stream(c.stream, n);
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.bits, c.stream.size() * 8 - (bare.context->out_free_bits - 1)) << n;
  }
}

int calls_before_failure = 0;
void* calloc_that_fails_later(std::size_t count, std::size_t size) {
  return calls_before_failure-- > 0 ? std::calloc(count, size) : nullptr;
}

TEST(CompressorTest, MissingWorkArraysThatCannotBeHadGiveNoMemory) {
  for (int succeeding = 0; succeeding < 2; ++succeeding) {
    BareContext bare;
    calls_before_failure = succeeding;
    codec_calloc = calloc_that_fails_later;
    Bytes in = words(100, 1);
    Bytes out(200);
    ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 100};
    ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 200};
    const int result = codec_compress(bare.context.get(), &source, &destination);
    codec_calloc = std::calloc;
    EXPECT_EQ(result, CODEC_ERR_NO_MEMORY);
    EXPECT_EQ(bare.context->text, nullptr);  // what the call got is given back
    EXPECT_EQ(bare.context->window, nullptr);
    EXPECT_EQ(source.pos, in.data());
    EXPECT_EQ(compress(*bare.context, in, 200).stream, compress(in).stream);
  }
}

TEST(CompressorTest, TrieStoreThatCannotBeHadGivesNoMemoryAndNoBytes) {
  // The text is the first allocation of the first call, the trie store the
  // second; later calls reuse both.
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  const Bytes in = words(100, 1);
  calls_before_failure = 1;
  codec_calloc = calloc_that_fails_later;
  Bytes copy = in;
  Bytes out(200);
  ByteWindow source{copy.data(), copy.data() + copy.size(), 0, copy.data(), 100};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 200};
  const int result = codec_compress(context, &source, &destination);
  codec_calloc = std::calloc;
  EXPECT_EQ(result, CODEC_ERR_NO_MEMORY);
  EXPECT_EQ(source.pos, copy.data());
  EXPECT_EQ(destination.pos, out.data());
  EXPECT_EQ(compress(*context, in, 200).stream, compress(in).stream);
  // Once allocated, a call allocates nothing.
  calls_before_failure = 0;
  codec_calloc = calloc_that_fails_later;
  const Compressed again = compress(*context, in, 200);
  codec_calloc = std::calloc;
  EXPECT_EQ(again.result, 1);
  EXPECT_EQ(again.stream, compress(in).stream);
  decompressor_destroy(&context);
}

TEST(CompressorTest, ErrorAlreadyInContextIsReturnedUntouched) {
  BareContext bare;
  bare.context->error_code = CODEC_ERR_BAD_TABLE;
  Bytes in = words(100, 1);
  Bytes out(100);
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 100};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 100};
  EXPECT_EQ(codec_compress(bare.context.get(), &source, &destination), CODEC_ERR_BAD_TABLE);
  EXPECT_EQ(source.pos, in.data());
  EXPECT_EQ(destination.pos, out.data());
}

}  // namespace
}  // namespace telo
