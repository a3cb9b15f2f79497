// The compression levels: every level's stream must decode to its input with
// both decoders, be the same bytes every time, end its blocks where its last
// symbol ends (so that streams join bit to bit), and obey the contract of
// codec_compress on a full destination, a missing allocation or an error
// already in the context.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/codec_memory.h"
#include "codec/context.h"
#include "codec/reference_decoder.h"
#include "tests/codec/decode_driver.h"
#include "tests/codec/sample_inputs.h"
#include "tests/codec/stream_reader.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::random_bytes;

constexpr CompressionLevel kLevels[] = {CompressionLevel::kFast, CompressionLevel::kReference,
                                        CompressionLevel::kBest};
constexpr CompressionLevel kNewLevels[] = {CompressionLevel::kFast, CompressionLevel::kBest};

std::string name_of(CompressionLevel level) {
  switch (level) {
    case CompressionLevel::kFast: return "fast";
    case CompressionLevel::kReference: return "reference";
    case CompressionLevel::kBest: return "best";
  }
  return "?";
}

struct Context {
  Decompressor* context = nullptr;
  Context() { EXPECT_EQ(decompressor_create(&context), 0); }
  ~Context() { decompressor_destroy(&context); }
};

struct Compressed {
  int result = 0;
  Bytes stream;
  std::uint64_t bits = 0;  // what the context tells of the stream's length in bits
};

Compressed compress(Decompressor* context, CompressionLevel level, const Bytes& input, std::size_t room) {
  Bytes in = input;  // exact size, so that a read past the input shows under ASan
  Bytes out(room);
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
  Compressed c;
  c.result = codec_compress_level(context, level, &source, &destination);
  if (c.result == 1) {
    EXPECT_EQ(source.pos, in.data() + in.size());
    EXPECT_EQ(source.consumed, in.size());
  }
  EXPECT_EQ(destination.consumed, static_cast<std::uint32_t>(destination.pos - out.data()));
  c.stream.assign(out.data(), destination.pos);
  c.bits = c.stream.size() * 8 - static_cast<std::uint64_t>(context->out_free_bits - 1);
  return c;
}

Compressed compress(CompressionLevel level, const Bytes& input) {
  Context fresh;
  return compress(fresh.context, level, input, input.size() + input.size() / 8 + 64);
}

// Decodes `total` bytes the way the extractor asks for them, with the fast
// decoder and with the plain one; both must give the same calls and bytes.
Bytes decode_both_ways(const Bytes& stream, std::size_t total) {
  const auto rooms = testing::chunked_rooms(total);
  const testing::DecodeRun fast = testing::run_decoder(decompressor_decode, stream, rooms);
  const testing::DecodeRun plain = testing::run_decoder(reference_decode, stream, rooms);
  EXPECT_EQ(fast.calls, plain.calls);
  EXPECT_EQ(fast.output, plain.output);
  for (const auto& call : fast.calls) EXPECT_EQ(call.result, 0);
  if (total > 0) {
    EXPECT_EQ(fast.calls.back().consumed, stream.size());
  }
  return fast.output;
}

Bytes words(std::size_t n, unsigned variant) {
  static const char* const vocabulary[] = {"extract ", "the ", "directory ", "file ", "of ",
                                           "record ", "Next? ", "Back? ", "\n", "installer "};
  return testing::words_from(vocabulary, n, variant);
}

Bytes file_bytes(const std::string& path, std::size_t most) {
  std::ifstream file(path, std::ios::binary);
  Bytes v((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (v.size() > most) v.resize(most);
  return v;
}

// Runs of every length around the longest match, one after another.
Bytes runs_around_256() {
  Bytes v;
  for (std::size_t n = 250; n <= 262; ++n) v.insert(v.end(), n, static_cast<std::uint8_t>(n));
  return v;
}

// A random stretch of `period` bytes repeated: matches exactly `period` back.
Bytes repeated(std::size_t period, std::size_t n) {
  const Bytes unit = random_bytes(period, static_cast<unsigned>(period));
  Bytes v;
  while (v.size() < n) v.insert(v.end(), unit.begin(), unit.end());
  v.resize(n);
  return v;
}

// Text with a change of character halfway: a block should end near it.
Bytes text_then_binary(std::size_t n) {
  Bytes v = words(n / 2, 5);
  const Bytes tail = file_bytes("/proc/self/exe", n - v.size());
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

// Random over two letters: matches of every length up to about 13 at every
// position, more than the best level's match cache holds for a whole segment.
Bytes two_letters(std::size_t n) {
  Bytes v = random_bytes(n, 11);
  for (auto& b : v) b = static_cast<std::uint8_t>('a' + (b & 1));
  return v;
}

struct Case {
  std::string name;
  Bytes input;
};

std::vector<Case> make_cases() {
  std::vector<Case> all = {
      {"empty", {}},
      {"one byte", {0x42}},
      {"two bytes", {0x00, 0xFF}},
      {"three equal bytes", {7, 7, 7}},
      {"run of 1000", Bytes(1000, 'a')},
      {"run of 300000 zeros", Bytes(300000, 0)},
      {"runs around 256", runs_around_256()},
      {"words 300000", words(300000, 1)},
      {"random 100000", random_bytes(100000, 2)},
      {"text then binary", text_then_binary(300000)},
      {"two letters", two_letters(250000)},
      {"period 8192", repeated(8192, 40000)},
      {"period 8191", repeated(8191, 40000)},
      {"period 8193", repeated(8193, 40000)},
      {"this test binary", file_bytes("/proc/self/exe", 300000)},
      {"installer binary", file_bytes(TELO_INSTALLER_PATH, 300000)},
  };
  for (std::size_t n : {8191u, 8192u, 8193u}) {
    all.push_back({"words " + std::to_string(n), words(n, static_cast<unsigned>(n))});
    all.push_back({"random " + std::to_string(n), random_bytes(n, static_cast<unsigned>(n))});
  }
  // Incompressible: one literal per byte, so blocks fill to the 16-bit limit.
  for (std::size_t n : {65534u, 65535u, 65536u, 131070u, 131071u, 196606u}) {
    all.push_back({"random " + std::to_string(n), random_bytes(n, static_cast<unsigned>(n))});
  }
  return all;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = make_cases();
  return all;
}

TEST(CompressionLevels, EveryLevelDecodesBackWithBothDecoders) {
  for (const Case& c : cases()) {
    for (CompressionLevel level : kLevels) {
      SCOPED_TRACE(c.name + " at " + name_of(level));
      const Compressed z = compress(level, c.input);
      ASSERT_EQ(z.result, 1);
      EXPECT_EQ(decode_both_ways(z.stream, c.input.size()), c.input);
    }
  }
}

TEST(CompressionLevels, BlocksHoldOneTo65535SymbolsAndEndWithTheirLastSymbol) {
  for (const Case& c : cases()) {
    for (CompressionLevel level : kNewLevels) {
      SCOPED_TRACE(c.name + " at " + name_of(level));
      const Compressed z = compress(level, c.input);
      if (c.input.empty()) {
        EXPECT_TRUE(z.stream.empty());  // no block at all: it joins to others as nothing
        continue;
      }
      const auto parsed = testing::parse_stream(z.stream, c.input.size());
      ASSERT_EQ(parsed.error, "");
      EXPECT_EQ(parsed.output, c.input);
      EXPECT_EQ(parsed.bits, z.bits);  // nothing between the last symbol and the pad bits
      for (const auto& block : parsed.blocks) {
        EXPECT_GE(block.size, 1);
        EXPECT_LE(block.size, 65535);
        EXPECT_EQ(static_cast<std::size_t>(block.size), block.tokens.size());
        for (const auto& token : block.tokens) {
          if (token.symbol >= 256) {
            EXPECT_LT(token.offset, kWindowSize);
          }
        }
      }
    }
  }
}

TEST(CompressionLevels, FastFillsBlocksToThe16BitLimit) {
  const Bytes input = random_bytes(200000, 3);
  const auto parsed = testing::parse_stream(compress(CompressionLevel::kFast, input).stream, input.size());
  ASSERT_EQ(parsed.error, "");
  ASSERT_GE(parsed.blocks.size(), 2u);
  EXPECT_EQ(parsed.blocks[0].size, 65535);
}

TEST(CompressionLevels, BlocksOutgrowTheReferencesAndEndWhereTheDataChanges) {
  // The reference ends a block every 7264 symbols at most; on uniform text the
  // new levels keep going (past the start, whose lack of history makes it
  // a block of literals of its own), and on text followed by machine code both end a
  // block within a few thousand bytes of the change.
  const Bytes text = words(400000, 4);
  const Bytes mixed = text_then_binary(400000);
  for (CompressionLevel level : kNewLevels) {
    SCOPED_TRACE(name_of(level));
    const auto uniform = testing::parse_stream(compress(level, text).stream, text.size());
    ASSERT_EQ(uniform.error, "");
    int longest = 0;
    for (const auto& block : uniform.blocks) longest = std::max(longest, block.size);
    EXPECT_GT(longest, 2 * 7264);

    const auto parsed = testing::parse_stream(compress(level, mixed).stream, mixed.size());
    ASSERT_EQ(parsed.error, "");
    std::size_t at = 0;
    std::size_t nearest = mixed.size();
    for (const auto& block : parsed.blocks) {
      for (const auto& token : block.tokens) at += token.symbol < 256 ? 1 : static_cast<std::size_t>(token.symbol - 253);
      const std::size_t change = mixed.size() / 2;
      nearest = std::min(nearest, at > change ? at - change : change - at);
    }
    EXPECT_LT(nearest, 12000u);
  }
}

TEST(CompressionLevels, ReferenceLevelIsCodecCompress) {
  const Bytes input = words(100000, 6);
  Context context;
  Bytes in = input;
  Bytes out(input.size() + 64);
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
  ASSERT_EQ(codec_compress(context.context, &source, &destination), 1);
  out.resize(destination.consumed);
  EXPECT_EQ(compress(CompressionLevel::kReference, input).stream, out);
}

// Real text: this folder's sources, one after the other.
Bytes codec_sources() {
  Bytes all;
  for (const char* name : {"block_coder.cc", "chunk_decoder.cc", "compressor.cc", "match_trie.cc",
                           "reference_decoder.cc", "best_compressor.cc", "fast_compressor.cc"}) {
    const Bytes part = file_bytes(std::string(TELO_SOURCE_DIR "/codec/") + name, 1 << 20);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

TEST(CompressionLevels, SizesAgainstTheReference) {
  // On real text and code, fast stays within 5% of the reference, best below it.
  const Bytes inputs[] = {codec_sources(), file_bytes("/proc/self/exe", 1 << 20)};
  for (const Bytes& input : inputs) {
    const double reference = static_cast<double>(compress(CompressionLevel::kReference, input).stream.size());
    const double fast = static_cast<double>(compress(CompressionLevel::kFast, input).stream.size());
    const double best = static_cast<double>(compress(CompressionLevel::kBest, input).stream.size());
    EXPECT_LE(fast, 1.05 * reference) << input.size();
    EXPECT_LT(best, 0.99 * reference) << input.size();
  }
}

TEST(CompressionLevels, SameInputGivesSameBytesWhateverCameBefore) {
  const std::string ends = "abcP1abcQ2abcPPPP";
  const Bytes inputs[] = {Bytes(ends.begin(), ends.end()), Bytes(ends.begin(), ends.end() - 4),
                          words(70000, 1), random_bytes(70000, 2), Bytes(9000, 0), words(100, 4),
                          {}, text_then_binary(300000)};
  for (CompressionLevel level : kNewLevels) {
    std::vector<Bytes> first;
    for (const Bytes& input : inputs) first.push_back(compress(level, input).stream);
    Context shared;  // one context for everything, in orders that leave other data behind
    for (int round = 0; round < 2; ++round) {
      for (std::size_t i = 0; i < std::size(inputs); ++i) {
        const std::size_t k = round == 0 ? i : std::size(inputs) - 1 - i;
        const Compressed c = compress(shared.context, level, inputs[k], inputs[k].size() * 2 + 64);
        EXPECT_EQ(c.result, 1);
        EXPECT_EQ(c.stream, first[k]) << name_of(level) << " input " << k << " round " << round;
      }
    }
  }
}

// Joins streams bit to bit, each taken up to its last symbol, as the packer
// joins the pieces of a file; the last byte is padded with zero bits.
Bytes join(const std::vector<Compressed>& pieces) {
  Bytes out;
  std::uint64_t bit = 0;
  for (const Compressed& piece : pieces) {
    for (std::uint64_t i = 0; i < piece.bits; ++i, ++bit) {
      if (bit % 8 == 0) out.push_back(0);
      const int value = (piece.stream[i / 8] >> (7 - i % 8)) & 1;
      out.back() = static_cast<std::uint8_t>(out.back() | value << (7 - bit % 8));
    }
  }
  return out;
}

TEST(CompressionLevels, PiecesJoinedBitToBitDecodeAsTheirConcatenation) {
  const Bytes parts[] = {words(50000, 8), {0x17}, random_bytes(20001, 9), Bytes(5000, 0),
                         file_bytes("/proc/self/exe", 70000), words(3, 10)};
  for (CompressionLevel level : kLevels) {
    SCOPED_TRACE(name_of(level));
    Context context;  // reused from piece to piece, as a packer thread does
    std::vector<Compressed> pieces;
    Bytes whole;
    for (const Bytes& part : parts) {
      pieces.push_back(compress(context.context, level, part, part.size() * 2 + 64));
      ASSERT_EQ(pieces.back().result, 1);
      const auto parsed = testing::parse_stream(pieces.back().stream, part.size());
      EXPECT_EQ(parsed.bits, pieces.back().bits);
      whole.insert(whole.end(), part.begin(), part.end());
    }
    EXPECT_EQ(decode_both_ways(join(pieces), whole.size()), whole);
  }
}

TEST(CompressionLevels, DestinationTooSmallGivesZeroAndAPrefix) {
  const Bytes input = words(60000, 3);
  for (CompressionLevel level : kNewLevels) {
    SCOPED_TRACE(name_of(level));
    const Compressed full = compress(level, input);
    ASSERT_EQ(full.result, 1);
    Context context;
    for (std::size_t room : {std::size_t{0}, std::size_t{1}, full.stream.size() / 2, full.stream.size() - 1}) {
      const Compressed c = compress(context.context, level, input, room);
      EXPECT_EQ(c.result, 0) << room;
      EXPECT_EQ(c.stream.size(), room);
      EXPECT_TRUE(std::equal(c.stream.begin(), c.stream.end(), full.stream.begin())) << room;
    }
    const Compressed exact = compress(context.context, level, input, full.stream.size());
    EXPECT_EQ(exact.result, 1);  // a full destination did not spoil the context
    EXPECT_EQ(exact.stream, full.stream);
  }
}

int calls_before_failure = 0;
void* calloc_that_fails_later(std::size_t count, std::size_t size) {
  return calls_before_failure-- > 0 ? std::calloc(count, size) : nullptr;
}

TEST(CompressionLevels, WorkMemoryThatCannotBeHadGivesNoMemoryAndAdvancesNothing) {
  const Bytes input = words(5000, 1);
  for (CompressionLevel level : kNewLevels) {
    SCOPED_TRACE(name_of(level));
    Context context;
    Bytes in = input;
    Bytes out(input.size() * 2);
    ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
    ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
    calls_before_failure = 0;
    codec_calloc = calloc_that_fails_later;
    const int result = codec_compress_level(context.context, level, &source, &destination);
    codec_calloc = std::calloc;
    EXPECT_EQ(result, CODEC_ERR_NO_MEMORY);
    EXPECT_EQ(source.pos, in.data());
    EXPECT_EQ(source.consumed, 0u);
    EXPECT_EQ(destination.pos, out.data());
    EXPECT_EQ(destination.consumed, 0u);
    // The next call gets the memory and codes as a fresh context does; the
    // one after that allocates nothing.
    EXPECT_EQ(compress(context.context, level, input, out.size()).stream, compress(level, input).stream);
    calls_before_failure = 0;
    codec_calloc = calloc_that_fails_later;
    const Compressed again = compress(context.context, level, input, out.size());
    codec_calloc = std::calloc;
    EXPECT_EQ(again.result, 1);
  }
}

TEST(CompressionLevels, ADecodingContextCarriesNoLevelMemory) {
  const Bytes input = words(20000, 2);
  const Compressed z = compress(CompressionLevel::kBest, input);
  Context context;
  Bytes in = z.stream;
  Bytes out(input.size());
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  for (std::size_t done = 0; done < out.size(); done += kChunkLimit) {
    ByteWindow destination{out.data() + done, out.data() + std::min(out.size(), done + kChunkLimit), 0, nullptr, 0};
    ASSERT_EQ(decompressor_decode(context.context, &source, &destination), 0);
  }
  EXPECT_EQ(out, input);
  EXPECT_EQ(context.context->fast_store, nullptr);
  EXPECT_EQ(context.context->best_store, nullptr);
}

TEST(CompressionLevels, ErrorAlreadyInContextOrBadArgumentsAreReturnedUntouched) {
  Bytes in = words(100, 1);
  Bytes out(100);
  for (CompressionLevel level : kNewLevels) {
    Context context;
    context.context->error_code = CODEC_ERR_BAD_TABLE;
    ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
    ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
    EXPECT_EQ(codec_compress_level(context.context, level, &source, &destination), CODEC_ERR_BAD_TABLE);
    EXPECT_EQ(source.pos, in.data());
    EXPECT_EQ(destination.pos, out.data());
    EXPECT_EQ(codec_compress_level(nullptr, level, &source, &destination), CODEC_ERR_MISUSE);
    EXPECT_EQ(codec_compress_level(context.context, level, nullptr, &destination), CODEC_ERR_MISUSE);
  }
  Context context;
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
  EXPECT_EQ(codec_compress_level(context.context, static_cast<CompressionLevel>(7), &source, &destination),
            CODEC_ERR_MISUSE);
}

}  // namespace
}  // namespace telo
