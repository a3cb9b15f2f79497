#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/codec.h"
#include "codec/codec_memory.h"
#include "codec/context.h"
#include "codec/reference_decoder.h"
#include "tests/codec/bit_writer.h"
#include "tests/codec/decode_driver.h"
#include "tests/codec/stream_writer.h"

namespace telo {
namespace {

using testing::BitWriter;
using testing::Block;
using testing::counted_code;
using testing::decode_stream;
using testing::Item;
using testing::literal;
using testing::match;
using testing::single_symbol_code;

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> prefix(const std::vector<std::uint8_t>& bytes, std::size_t n) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)};
}

// A header whose three codes are all single-symbol forms: 52 bits.
void put_single_symbol_header(BitWriter& w, std::uint32_t block_size, int symbol, int offset_class) {
  /* block size */ w.put(16, block_size);
  /* code-length code: count 0, single symbol 0 */ w.put(5, 0); w.put(5, 0);
  /* symbol code: count 0, single symbol */ w.put(9, 0); w.put(9, static_cast<std::uint32_t>(symbol));
  /* offset code: count 0, single class */ w.put(4, 0); w.put(4, static_cast<std::uint32_t>(offset_class));
}

// The symbol code {a: "0", b: "1"} for two symbols a < b, sent through a
// code-length code that knows a zero run (symbol 2) and length 1 (symbol 3).
void put_two_symbol_code(BitWriter& w, int a, int b) {
  /* code-length code: count 4 */ w.put(5, 4);
  /* lengths of symbols 0, 1, 2 */ w.put(3, 0); w.put(3, 0); w.put(3, 1);
  /* zero-run field: none of 3..5 is 0 */ w.put(2, 0);
  /* length of symbol 3 */ w.put(3, 1);
  // Canonical: symbol 2 (zero run) is "0", symbol 3 (length 1) is "1".
  /* symbol code: count */ w.put(9, static_cast<std::uint32_t>(b + 1));
  /* a zeros: run of 20 + n */ w.put(1, 0); w.put(9, static_cast<std::uint32_t>(a - 20));
  /* symbol a: length 1 */ w.put(1, 1);
  /* b - a - 1 zeros */ w.put(1, 0); w.put(9, static_cast<std::uint32_t>(b - a - 1 - 20));
  /* symbol b: length 1 */ w.put(1, 1);
}

TEST(DecompressorCreate, RefusesNullOrOccupiedSlot) {
  EXPECT_EQ(decompressor_create(nullptr), CODEC_ERR_MISUSE);
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  Decompressor* const first = context;
  EXPECT_EQ(decompressor_create(&context), CODEC_ERR_MISUSE);
  EXPECT_EQ(context, first);
  decompressor_destroy(&context);
  EXPECT_EQ(context, nullptr);
  decompressor_destroy(&context);  // empty slot: nothing to do
  decompressor_destroy(nullptr);
}

TEST(DecompressorCreate, StartsNewWithZeroWindowAndNoCompressorMemory) {
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  EXPECT_EQ(context->status, DECODE_NEW);
  EXPECT_EQ(context->window_size, kWindowSize);
  EXPECT_TRUE(std::all_of(context->window, context->window + kWindowSize, [](auto b) { return b == 0; }));
  EXPECT_EQ(context->text, nullptr);  // a decoding context never carries it
  EXPECT_EQ(context->trie_store, nullptr);
  decompressor_destroy(&context);
}

// Fails the n-th allocation; create must free the earlier ones (ASan's leak
// check holds it to that) and leave the slot empty.
int allocations_left = 0;
void* failing_calloc(std::size_t count, std::size_t size) {
  if (allocations_left-- == 0) return nullptr;
  return std::calloc(count, size);
}

TEST(DecompressorCreate, ReportsEveryFailedAllocation) {
  for (int fail_at = 0; fail_at < 2; ++fail_at) {
    allocations_left = fail_at;
    codec_calloc = failing_calloc;
    Decompressor* context = nullptr;
    const int result = decompressor_create(&context);
    codec_calloc = std::calloc;
    EXPECT_EQ(result, CODEC_ERR_NO_MEMORY) << "allocation " << fail_at;
    EXPECT_EQ(context, nullptr);
  }
}

TEST(DecompressorDecode, RefusesNullArguments) {
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  ByteWindow window;
  EXPECT_EQ(decompressor_decode(nullptr, &window, &window), CODEC_ERR_MISUSE);
  EXPECT_EQ(decompressor_decode(context, nullptr, &window), CODEC_ERR_MISUSE);
  EXPECT_EQ(decompressor_decode(context, &window, nullptr), CODEC_ERR_MISUSE);
  decompressor_destroy(&context);
}

TEST(DecompressorDecode, SingleSymbolBlocksCostNoBitsPerSymbol) {
  BitWriter w;
  put_single_symbol_header(w, 3, 'A', 0);
  put_single_symbol_header(w, 2, 'B', 0);
  // Past the stream, zero bits read as a block of size 0 with the single literal 0.
  EXPECT_EQ(decode_stream(w.bytes, 9), bytes_of(std::string("AAABB\0\0\0\0", 9)));
}

TEST(DecompressorDecode, ZeroBlockSizeGovernsTheRestOfTheStream) {
  BitWriter w;
  put_single_symbol_header(w, 0, 'z', 0);
  put_single_symbol_header(w, 1, 'y', 0);  // never reached: the count went below zero
  const std::vector<std::uint8_t> out = decode_stream(w.bytes, 2 * kChunkLimit + 5);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 'z'; }));
}

TEST(DecompressorDecode, OffsetZeroWithLength256RepeatsThePreviousByte) {
  BitWriter w;
  put_single_symbol_header(w, 1, 'q', 0);
  put_single_symbol_header(w, 1, 509, 0);  // one match of length 256 at offset 0
  put_single_symbol_header(w, 1, 'r', 0);
  std::vector<std::uint8_t> expected(257, 'q');
  expected.push_back('r');
  EXPECT_EQ(decode_stream(w.bytes, expected.size()), expected);
}

TEST(DecompressorDecode, CopyFromBeforeTheFirstByteYieldsZeros) {
  BitWriter w;
  put_single_symbol_header(w, 1, 'k', 0);
  // A 4-byte match at offset 4096 + 7 (class 13 with 12 extra bits).
  put_single_symbol_header(w, 1, 4 + 253, 13);
  /* offset extra bits */ w.put(12, 7);
  EXPECT_EQ(decode_stream(w.bytes, 5), bytes_of(std::string("k\0\0\0\0", 5)));
}

TEST(DecompressorDecode, WindowStartsAsZerosAfterTheContextCompressed) {
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  std::vector<std::uint8_t> text(9000, 'x');
  std::vector<std::uint8_t> packed(20000);
  ByteWindow in{text.data(), text.data() + text.size()};
  ByteWindow out{packed.data(), packed.data() + packed.size()};
  codec_compress(context, &in, &out);

  BitWriter w;
  put_single_symbol_header(w, 1, 3 + 253, 13);  // a 3-byte match reaching 4097 back
  /* offset extra bits */ w.put(12, 0);
  ByteWindow source{w.bytes.data(), w.bytes.data() + w.bytes.size()};
  std::uint8_t result[3] = {1, 1, 1};
  ByteWindow destination{result, result + 3};
  EXPECT_EQ(decompressor_decode(context, &source, &destination), 0);
  EXPECT_EQ(bytes_of(std::string(reinterpret_cast<char*>(result), 3)), bytes_of(std::string(3, '\0')));
  decompressor_destroy(&context);
}

TEST(DecompressorDecode, OffsetClassOneReadsNoExtraBits) {
  BitWriter w;
  /* block size */ w.put(16, 4);
  put_two_symbol_code(w, 'a', 256);  // 'a' is "0", a 3-byte match is "1"
  /* offset code: count 0, single class 1 */ w.put(4, 0); w.put(4, 1);
  /* 'a' */ w.put(1, 0);
  /* match of 3 at offset 1 (class 1, no extra bits) */ w.put(1, 1);
  /* 'a' */ w.put(1, 0);
  /* match of 3 at offset 1 */ w.put(1, 1);
  EXPECT_EQ(decode_stream(w.bytes, 8), bytes_of(std::string("a\0a\0a\0a\0", 8)));
}

TEST(DecompressorDecode, LengthCodeWithCountThreeStillReadsTheZeroRunField) {
  BitWriter w;
  /* block size */ w.put(16, 2);
  /* code-length code: count 3 */ w.put(5, 3);
  /* lengths of symbols 0, 1, 2 */ w.put(3, 1); w.put(3, 2); w.put(3, 2);
  /* zero-run field, read although the count is reached */ w.put(2, 3);
  /* symbol code: count 0, single symbol 'm' */ w.put(9, 0); w.put(9, 'm');
  /* offset code: count 0, single class 0 */ w.put(4, 0); w.put(4, 0);
  put_single_symbol_header(w, 1, 'n', 0);
  EXPECT_EQ(decode_stream(w.bytes, 3), bytes_of("mmn"));
}

TEST(DecompressorDecode, LengthCodeZeroRunSkipsSymbolsThreeToFive) {
  BitWriter w;
  /* block size */ w.put(16, 3);
  /* code-length code: count 7 */ w.put(5, 7);
  /* lengths of symbols 0, 1, 2 */ w.put(3, 1); w.put(3, 0); w.put(3, 0);
  /* zero-run field: symbols 3, 4, 5 have length 0 */ w.put(2, 3);
  /* length of symbol 6 */ w.put(3, 1);
  // Symbol 0 (one zero length) is "0", symbol 6 (length 4) is "1".
  /* symbol code: count 16, each of symbols 0..15 has length 4 */ w.put(9, 16);
  for (int s = 0; s < 16; ++s) w.put(1, 1);
  /* offset code: count 0, single class 0 */ w.put(4, 0); w.put(4, 0);
  /* literals 9, 0, 15 (their 4-bit codes are their values) */ w.put(4, 9); w.put(4, 0); w.put(4, 15);
  EXPECT_EQ(decode_stream(w.bytes, 3), (std::vector<std::uint8_t>{9, 0, 15}));
}

TEST(DecompressorDecode, CodesUpToSixteenBitsDecode) {
  std::mt19937 rng(7);
  Block block = testing::make_block(
      rng, {literal('a'), match(3, 4096), match(5, 0), match(3, 8191), literal('b'), match(4, 2)});
  // Lengths 1 to 13 once, 15 twice, 16 four times; the long zero run (2) is 16 bits.
  block.length_code = counted_code({16, 1, 16, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 15, 16, 16});
  block.offsets = counted_code({13, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
  BitWriter w;
  testing::put_block(w, block);
  EXPECT_EQ(decode_stream(w.bytes, 17), testing::expand({block}));
}

// Builds a stream of random blocks and remembers, for every output byte, the
// number of stream bits used once the symbol that made it was decoded.
struct TracedStream {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> output;
  std::vector<std::size_t> bits_after;  // per output byte
};

TracedStream traced_stream(std::uint32_t variant, int blocks, int items_per_block) {
  std::mt19937 rng(variant);
  TracedStream traced;
  BitWriter w;
  std::vector<Block> all;
  for (int b = 0; b < blocks; ++b) {
    Block block = testing::make_block(rng, testing::random_items(rng, items_per_block));
    testing::put_block_header(w, block);
    all.push_back(block);
    for (const Item& item : block.items) {
      testing::put_item(w, block, item);
      const std::size_t made = item.length == 0 ? 1 : static_cast<std::size_t>(item.length);
      traced.bits_after.insert(traced.bits_after.end(), made, w.bit_count());
    }
  }
  /* closing zero bits, as the compressor writes */ w.put(7, 0);
  traced.bytes = w.bytes;
  traced.output = testing::expand(all);
  return traced;
}

TEST(DecompressorDecode, SourceRunsTwoBytesAheadOfTheBitsUsed) {
  const TracedStream traced = traced_stream(11, 6, 3000);
  const std::size_t total = traced.output.size();
  const testing::DecodeRun run = testing::run_decoder(decompressor_decode, traced.bytes, testing::chunked_rooms(total));
  EXPECT_EQ(run.output, traced.output);
  std::size_t produced = 0;
  for (const testing::CallRecord& call : run.calls) {
    produced += call.written;
    const std::size_t bits = traced.bits_after[produced - 1];
    const std::size_t expected = std::min(traced.bytes.size(), 2 + (bits + 7) / 8);
    EXPECT_EQ(call.source_pos, expected) << "after " << produced << " bytes";
    EXPECT_EQ(call.consumed, expected);
  }
  EXPECT_EQ(run.calls.back().consumed, traced.bytes.size());
}

TEST(DecompressorDecode, OutputDoesNotDependOnTheLastCallsSize) {
  const TracedStream traced = traced_stream(12, 3, 4000);
  for (std::size_t total : {std::size_t{1}, std::size_t{5}, std::size_t{8191}, std::size_t{8192},
                            std::size_t{8193}, std::size_t{2 * 8192 + 5}, traced.output.size()}) {
    EXPECT_EQ(decode_stream(traced.bytes, total), prefix(traced.output, total)) << total;
  }
}

TEST(DecompressorDecode, MatchCutByTheEndOfACallContinuesInTheNext) {
  std::mt19937 rng(5);
  std::vector<Item> items;
  for (int i = 0; i < 8190; ++i) items.push_back(literal(static_cast<std::uint8_t>(rng())));
  items.push_back(match(200, 5000));  // bytes 8190..8389, cut after two
  items.push_back(match(256, 8191));  // reaches into the previous call's chunk
  const Block block = testing::make_block(rng, items);
  BitWriter w;
  testing::put_block(w, block);
  const std::vector<std::uint8_t> expected = testing::expand({block});
  EXPECT_EQ(decode_stream(w.bytes, expected.size()), expected);
}

TEST(DecompressorDecode, MatchFromTheWindowRunningIntoThisCallsOutput) {
  std::mt19937 rng(9);
  std::vector<Item> items;
  for (int i = 0; i < kChunkLimit + 100; ++i) items.push_back(literal(static_cast<std::uint8_t>(rng())));
  // At index 100 of the second call: 10 bytes from the end of the window,
  // then 30 from this call's own output, far from the call's end.
  items.push_back(match(40, 109));
  items.push_back(match(20, 159));  // all 20 from the window, ending at its end
  for (int i = 0; i < 300; ++i) items.push_back(literal(static_cast<std::uint8_t>(rng())));
  const Block block = testing::make_block(rng, items);
  BitWriter w;
  testing::put_block(w, block);
  const std::vector<std::uint8_t> expected = testing::expand({block});
  EXPECT_EQ(decode_stream(w.bytes, expected.size()), expected);
}

// A complete code over `count` symbols with lengths 1, 2, ..., count - 2 and
// twice count - 1, the longest on the last two symbols of `order`.
std::vector<std::uint8_t> staircase_lengths(const std::vector<int>& order, int alphabet) {
  std::vector<std::uint8_t> lengths(static_cast<std::size_t>(alphabet), 0);
  const int count = static_cast<int>(order.size());
  for (int i = 0; i < count; ++i) {
    lengths[order[i]] = static_cast<std::uint8_t>(i < count - 1 ? i + 1 : count - 1);
  }
  return lengths;
}

// Literals and matches whose codes are 15 and 16 bits long, offsets of the
// top classes whose codes are 12 and 13 bits long with 12 and 11 extra bits:
// the most bits a literal, a match and its offset can take, in long runs.
TEST(DecompressorDecode, LongestCodesInLongRunsDecode) {
  std::mt19937 rng(13);
  std::vector<int> symbols;
  for (int s = 300; s < 313; ++s) symbols.push_back(s);  // codes of 1 to 13 bits, unused
  for (int s : {int{'y'}, int{'x'}, 256 + 30}) symbols.push_back(s);  // 14, 15 and 16 bits
  symbols.push_back(256);                                    // 16 bits: a 3-byte match
  std::vector<int> classes;
  for (int q = 0; q < 12; ++q) classes.push_back(q);  // 1 to 12 bits
  classes.push_back(12);                              // 13 bits
  classes.push_back(13);                              // 13 bits
  std::swap(classes[11], classes[12]);                // class 12 at 12 bits, 11 at 13
  Block block;
  block.symbols = counted_code(staircase_lengths(symbols, kSymbolCodeSize));
  block.offsets = counted_code(staircase_lengths(classes, kOffsetCodeSize));
  std::vector<int> token_counts(kLengthCodeSize, 0);
  for (const testing::LengthToken& token : testing::length_tokens(block.symbols.lengths)) {
    ++token_counts[token.symbol];
  }
  std::vector<int> tokens;
  for (int t = 0; t < kLengthCodeSize; ++t) {
    if (token_counts[t] != 0) tokens.push_back(t);
  }
  block.length_code = testing::random_code(rng, tokens, kLengthCodeSize);
  for (int i = 0; i < 6000; ++i) {
    const unsigned roll = rng() % 6;
    const int offset = roll % 2 == 0 ? 4096 + static_cast<int>(rng() % 4096) : 2048 + static_cast<int>(rng() % 2048);
    if (roll < 2) block.items.push_back(literal(rng() % 2 == 0 ? 'x' : 'y'));
    else if (roll < 4) block.items.push_back(match(3, offset));
    else block.items.push_back(match(33, offset));
  }
  block.size = static_cast<std::uint32_t>(block.items.size());
  BitWriter w;
  testing::put_block(w, block);
  /* closing zero bits, as the compressor writes */ w.put(7, 0);
  const std::vector<std::uint8_t> expected = testing::expand({block});
  EXPECT_EQ(decode_stream(w.bytes, expected.size()), expected);
  const testing::DecodeRun fast = testing::run_decoder(decompressor_decode, w.bytes, testing::chunked_rooms(expected.size()));
  const testing::DecodeRun plain = testing::run_decoder(reference_decode, w.bytes, testing::chunked_rooms(expected.size()));
  EXPECT_EQ(fast.calls, plain.calls);
}

TEST(DecompressorDecode, CallWithoutRoomChangesNothing) {
  BitWriter w;
  put_single_symbol_header(w, 4, 'A', 0);
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  ByteWindow source{w.bytes.data(), w.bytes.data() + w.bytes.size()};
  std::uint8_t out[8] = {};
  ByteWindow empty{out, out};
  EXPECT_EQ(decompressor_decode(context, &source, &empty), 0);
  EXPECT_EQ(context->status, DECODE_NEW);
  EXPECT_EQ(source.pos, w.bytes.data());
  EXPECT_EQ(source.consumed, 0u);
  ByteWindow two{out, out + 2};
  EXPECT_EQ(decompressor_decode(context, &source, &two), 0);
  const ByteWindow before = source;
  ByteWindow none{out + 2, out + 2};
  EXPECT_EQ(decompressor_decode(context, &source, &none), 0);
  EXPECT_EQ(source.pos, before.pos);
  EXPECT_EQ(none.pos, out + 2);
  ByteWindow rest{out + 2, out + 4};
  EXPECT_EQ(decompressor_decode(context, &source, &rest), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "AAAA");
  decompressor_destroy(&context);
}

TEST(DecompressorDecode, IncompleteCodeFailsInItsCallAndEveryLaterOne) {
  BitWriter w;
  put_single_symbol_header(w, kChunkLimit + 100, 'a', 0);
  /* block size */ w.put(16, 5);
  /* code-length code: count 4 */ w.put(5, 4);
  /* lengths of symbols 0..2 */ w.put(3, 0); w.put(3, 0); w.put(3, 1);
  /* zero-run field */ w.put(2, 0);
  /* length of symbol 3 */ w.put(3, 1);
  /* symbol code: count 1, symbol 0 has length 1: half the code space is empty */ w.put(9, 1); w.put(1, 1);
  w.put(16, 0xFFFF);

  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  ByteWindow source{w.bytes.data(), w.bytes.data() + w.bytes.size()};
  std::vector<std::uint8_t> out(3 * kChunkLimit, 0xA5);
  ByteWindow first{out.data(), out.data() + out.size()};
  EXPECT_EQ(decompressor_decode(context, &source, &first), 0);
  EXPECT_EQ(first.pos, out.data() + kChunkLimit);

  ByteWindow second = first;
  EXPECT_EQ(decompressor_decode(context, &source, &second), CODEC_ERR_BAD_TABLE);
  EXPECT_EQ(second.pos, out.data() + 2 * kChunkLimit);  // the failing call still fills its chunk
  EXPECT_EQ(context->status, DECODE_FAILED);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + kChunkLimit + 100, [](auto b) { return b == 'a'; }));

  const ByteWindow source_before = source;
  ByteWindow third = second;
  EXPECT_EQ(decompressor_decode(context, &source, &third), CODEC_ERR_BAD_TABLE);
  EXPECT_EQ(decompressor_decode(context, &source, &third), CODEC_ERR_BAD_TABLE);
  EXPECT_EQ(third.pos, second.pos);
  EXPECT_EQ(source.pos, source_before.pos);
  EXPECT_EQ(source.consumed, source_before.consumed);
  EXPECT_TRUE(std::all_of(out.begin() + 2 * kChunkLimit, out.end(), [](auto b) { return b == 0xA5; }));
  decompressor_destroy(&context);
}

// The compressor's stream of `input`, whole.
std::vector<std::uint8_t> compressed(const std::string& input) {
  Decompressor* context = nullptr;
  EXPECT_EQ(decompressor_create(&context), 0);
  std::vector<std::uint8_t> in(input.begin(), input.end());
  std::vector<std::uint8_t> out(input.size() * 2 + 64);
  ByteWindow source{in.data(), in.data() + in.size()};
  ByteWindow destination{out.data(), out.data() + out.size()};
  EXPECT_EQ(codec_compress(context, &source, &destination), 1);
  out.resize(destination.consumed);
  decompressor_destroy(&context);
  return out;
}

// Decodes `size` bytes in the installer's pieces; the bits the symbols used.
std::uint64_t bits_used_decoding(const std::vector<std::uint8_t>& stream, std::size_t size) {
  Decompressor* context = nullptr;
  EXPECT_EQ(decompressor_create(&context), 0);
  std::vector<std::uint8_t> copy = stream;  // exact size: a read past the end is caught
  ByteWindow source{copy.data(), copy.data() + copy.size()};
  std::vector<std::uint8_t> out(kChunkLimit);
  for (std::size_t done = 0; done < size; done += kChunkLimit) {
    const std::size_t piece = std::min<std::size_t>(size - done, kChunkLimit);
    ByteWindow destination{out.data(), out.data() + piece};
    EXPECT_EQ(decompressor_decode(context, &source, &destination), 0);
  }
  const std::uint64_t used = decompressor_bits_used(context, &source);
  decompressor_destroy(&context);
  return used;
}

TEST(DecompressorBitsUsed, TellsAWholeStreamFromOneCutShort) {
  std::string text;
  for (int i = 0; text.size() < 50000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the text\n";
  const std::vector<std::uint8_t> stream = compressed(text);
  const std::uint64_t whole = bits_used_decoding(stream, text.size());
  EXPECT_LE(whole, stream.size() * 8);
  EXPECT_GT(whole, stream.size() * 8 - 8);  // only the closing pad bits are left over

  std::vector<std::uint8_t> cut = stream;
  cut.resize(cut.size() - 2);
  EXPECT_GT(bits_used_decoding(cut, text.size()), cut.size() * 8);
  // Asking for more than the stream holds reads past its end too.
  EXPECT_GT(bits_used_decoding(stream, text.size() + 100), stream.size() * 8);
}

TEST(DecompressorBitsUsed, SymbolsOfNoBitsUseNothingPastTheEnd) {
  const std::vector<std::uint8_t> empty = compressed("");
  EXPECT_LE(bits_used_decoding(empty, 1 << 20), empty.size() * 8);
  const std::vector<std::uint8_t> run = compressed(std::string(100, 'r'));
  EXPECT_LE(bits_used_decoding(run, 100), run.size() * 8);
}

TEST(DecompressorReset, AFailedContextDecodesTheNextStreamLikeANewOne) {
  BitWriter bad;
  put_single_symbol_header(bad, 1, 'a', 0);
  /* block size */ bad.put(16, 5);
  /* code-length code: count 4 */ bad.put(5, 4);
  /* lengths of symbols 0..2 */ bad.put(3, 0); bad.put(3, 0); bad.put(3, 1);
  /* zero-run field */ bad.put(2, 0);
  /* length of symbol 3 */ bad.put(3, 1);
  /* symbol code: count 1, symbol 0 of length 1: incomplete */ bad.put(9, 1); bad.put(1, 1);
  BitWriter good;
  put_single_symbol_header(good, 2, 'q', 0);
  put_single_symbol_header(good, 1, 3 + 253, 13);  // 3 bytes from 4097 back: zeros in a fresh window
  /* offset extra bits */ good.put(12, 0);

  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  std::vector<std::uint8_t> out(10, 0xA5);
  ByteWindow source{bad.bytes.data(), bad.bytes.data() + bad.bytes.size()};
  ByteWindow destination{out.data(), out.data() + out.size()};
  EXPECT_EQ(decompressor_decode(context, &source, &destination), CODEC_ERR_BAD_TABLE);

  decompressor_reset(context);
  std::vector<std::uint8_t> again(5, 0xA5);
  source = ByteWindow{good.bytes.data(), good.bytes.data() + good.bytes.size()};
  destination = ByteWindow{again.data(), again.data() + again.size()};
  EXPECT_EQ(decompressor_decode(context, &source, &destination), 0);
  EXPECT_EQ(again, decode_stream(good.bytes, 5));
  EXPECT_EQ(again, bytes_of(std::string("qq\0\0\0", 5)));
  decompressor_destroy(&context);
}

// Streams outside what the compressor writes: each must be refused in the
// first call, with that call's chunk still moved.
struct RefusedStream {
  const char* name;
  void (*write)(BitWriter& w);
};

void put_code_length_one_symbol(BitWriter& w) {
  /* code-length code: count 4 */ w.put(5, 4);
  /* lengths 0, 0, 1, zero-run 0, 1 */ w.put(3, 0); w.put(3, 0); w.put(3, 1); w.put(2, 0); w.put(3, 1);
}

const RefusedStream kRefusedStreams[] = {
    {"code-length count above 19", [](BitWriter& w) { w.put(16, 1); w.put(5, 20); }},
    {"code-length single symbol 19", [](BitWriter& w) { w.put(16, 1); w.put(5, 0); w.put(5, 19); }},
    {"code-length single symbol 31", [](BitWriter& w) { w.put(16, 1); w.put(5, 0); w.put(5, 31); }},
    {"small-code length 17", [](BitWriter& w) { w.put(16, 1); w.put(5, 2); w.put(14, 0x3FFE); }},
    {"small-code length 20", [](BitWriter& w) { w.put(16, 1); w.put(5, 2); w.put(16, 0xFFFF); }},
    {"code-length lengths all 0", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 3); w.put(3, 0); w.put(3, 0); w.put(3, 0); w.put(2, 0); }},
    {"code-length sum of twice 65536", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 4); w.put(3, 1); w.put(3, 1); w.put(3, 1); w.put(2, 0); w.put(3, 1); }},
    {"code-length code over-full", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 3); w.put(3, 1); w.put(3, 1); w.put(3, 1); w.put(2, 0); }},
    {"symbol count 511", [](BitWriter& w) { w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 511); }},
    {"symbol single 510", [](BitWriter& w) { w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 0); w.put(9, 510); }},
    {"symbol single 511", [](BitWriter& w) { w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 0); w.put(9, 511); }},
    {"zero run of 531 past 510", [](BitWriter& w) {
       w.put(16, 1); put_code_length_one_symbol(w); w.put(9, 510); w.put(1, 0); w.put(9, 511); }},
    {"zero run of 18 past 510", [](BitWriter& w) {
       w.put(16, 1);
       /* code-length code: symbols 1 and 2, length 1 each */
       w.put(5, 3); w.put(3, 0); w.put(3, 1); w.put(3, 1); w.put(2, 0);
       w.put(9, 510); w.put(1, 1); w.put(9, 480); /* 500 zeros */ w.put(1, 0); w.put(4, 15); /* 18 more */ }},
    {"symbol lengths all 0", [](BitWriter& w) {
       w.put(16, 1); put_code_length_one_symbol(w); w.put(9, 100); w.put(1, 0); w.put(9, 80); }},
    {"symbol code with one symbol of length 1", [](BitWriter& w) {
       w.put(16, 1); put_code_length_one_symbol(w); w.put(9, 1); w.put(1, 1); }},
    {"offset count 15", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 0); w.put(9, 'a'); w.put(4, 15); }},
    {"offset single 14", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 0); w.put(9, 'a'); w.put(4, 0); w.put(4, 14); }},
    {"offset single 15", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 0); w.put(9, 'a'); w.put(4, 0); w.put(4, 15); }},
    {"offset code incomplete", [](BitWriter& w) {
       w.put(16, 1); w.put(5, 0); w.put(5, 0); w.put(9, 0); w.put(9, 'a'); w.put(4, 2); w.put(3, 1); w.put(3, 2); }},
};

TEST(DecompressorDecode, RefusesStreamsOutsideTheFormat) {
  for (const RefusedStream& refused : kRefusedStreams) {
    BitWriter w;
    refused.write(w);
    w.put(32, 0x12345678);
    const testing::DecodeRun run = testing::run_decoder(decompressor_decode, w.bytes, {100, 100});
    EXPECT_EQ(run.calls[0].result, CODEC_ERR_BAD_TABLE) << refused.name;
    EXPECT_EQ(run.calls[0].written, 100u) << refused.name;
    EXPECT_EQ(run.calls[1].result, CODEC_ERR_BAD_TABLE) << refused.name;
    EXPECT_EQ(run.calls[1].written, 0u) << refused.name;
    // The plain decoder draws the same line.
    const testing::DecodeRun plain = testing::run_decoder(reference_decode, w.bytes, {100, 100});
    EXPECT_EQ(plain.calls, run.calls) << refused.name;
  }
}

}  // namespace
}  // namespace telo
