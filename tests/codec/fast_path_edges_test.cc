// The fast decoder where its shortcuts meet an end: matches whose whole-word
// copies end at or pass the end of a call's output, sources that start in the
// window and run into the chunk being built, the switch between the fast and
// the careful loop, offset codes that take no code bits, and streams whose
// last bits are read with the last source byte (or cut short there). Each case
// is decoded call by call against the plain decoder and the expected bytes.

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/codec.h"
#include "codec/reference_decoder.h"
#include "tests/codec/bit_writer.h"
#include "tests/codec/decode_driver.h"
#include "tests/codec/stream_writer.h"

namespace telo {
namespace {

using testing::BitWriter;
using testing::Block;
using testing::DecodeRun;
using testing::Item;
using testing::literal;
using testing::match;
using testing::run_decoder;

// Both decoders, call by call: result, bytes, source pos and consumed.
void expect_like_reference(std::span<const std::uint8_t> stream, const std::vector<std::size_t>& rooms,
                           const std::string& what) {
  const DecodeRun fast = run_decoder(decompressor_decode, stream, rooms);
  const DecodeRun plain = run_decoder(reference_decode, stream, rooms);
  ASSERT_EQ(fast.calls.size(), plain.calls.size());
  for (std::size_t i = 0; i < fast.calls.size(); ++i) {
    ASSERT_EQ(fast.calls[i], plain.calls[i]) << what << ": call " << i;
  }
  ASSERT_EQ(fast.output, plain.output) << what;
}

std::vector<Item> random_literals(std::mt19937& rng, int count) {
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) items.push_back(literal(static_cast<std::uint8_t>(rng())));
  return items;
}

// One block: `lead` literals, the match, then `tail` literals.
struct MatchCase {
  const char* what;
  int lead;
  int length;
  int distance;  // 1 to 8192
  int tail;
};

// Distances around the copy's word sizes: byte repeat, byte copy, 8-byte and
// 16-byte steps.
constexpr int kDistances[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 4000, 8192};

const MatchCase kMatchCases[] = {
    {"ends at the call's end", kChunkLimit - 40, 40, 0, 500},
    {"ends at the call's end, longest", kChunkLimit - 256, 256, 0, 500},
    {"ends one past the call's end", kChunkLimit - 39, 40, 0, 500},
    {"ends one short of the call's end", kChunkLimit - 41, 40, 0, 500},
    {"ends within a word of the call's end", kChunkLimit - 45, 40, 0, 500},
    {"longest, cut in the middle", kChunkLimit - 128, 256, 0, 500},
    {"starts the second call", kChunkLimit, 100, 0, 500},
    {"starts 3 bytes into the second call", kChunkLimit + 3, 60, 0, 500},
    {"starts 20 bytes into the second call", kChunkLimit + 20, 256, 0, 500},
    {"ends at the stream's end", 1000, 33, 0, 0},
    {"ends at the end of a one-call stream", 1, 256, 0, 0},
};

TEST(FastPathEdges, MatchesAtEveryEndAndDistance) {
  std::mt19937 rng(21);
  for (const MatchCase& c : kMatchCases) {
    for (int distance : kDistances) {
      std::vector<Item> items = random_literals(rng, c.lead);
      items.push_back(match(c.length, distance - 1));
      const std::vector<Item> tail = random_literals(rng, c.tail);
      items.insert(items.end(), tail.begin(), tail.end());
      const Block block = testing::make_block(rng, items);
      BitWriter w;
      testing::put_block(w, block);
      const std::vector<std::uint8_t> expected = testing::expand({block});
      const std::string what = std::string(c.what) + ", distance " + std::to_string(distance);
      EXPECT_EQ(testing::decode_stream(w.bytes, expected.size()), expected) << what;
      expect_like_reference(w.bytes, testing::chunked_rooms(expected.size()), what);
    }
  }
}

// A short call leaves the window's tail from older output: a match in the
// next call that reaches past this call's start reads it, across the point
// where the window's indices wrap into the chunk being built.
TEST(FastPathEdges, MatchesAcrossTheWindowAfterShortCalls) {
  std::mt19937 rng(22);
  std::vector<Item> items = random_literals(rng, 9000);
  for (int distance : kDistances) {
    for (int i = 0; i < 5; ++i) items.push_back(literal(static_cast<std::uint8_t>(rng())));
    items.push_back(match(3 + static_cast<int>(rng() % 254), distance - 1));
  }
  const Block block = testing::make_block(rng, items);
  BitWriter w;
  testing::put_block(w, block);
  const std::size_t total = testing::expand({block}).size();
  for (std::size_t first : {std::size_t{1}, std::size_t{100}, std::size_t{5000}, std::size_t{8191}}) {
    std::vector<std::size_t> rooms{first, 9000 - first};
    for (std::size_t given = 9000; given < total + 10; given += 37) rooms.push_back(37);
    expect_like_reference(w.bytes, rooms, "first call " + std::to_string(first));
  }
}

// Offset codes of one class take no code bits: the offset is its extra bits
// alone (class 13: twelve of them), or nothing at all (class 0).
TEST(FastPathEdges, SingleClassOffsetCodes) {
  std::mt19937 rng(23);
  for (int offset_class : {0, 1, 2, 5, 12, 13}) {
    const int low = offset_class == 0 ? 0 : 1 << (offset_class - 1);
    const int high = offset_class == 0 ? 0 : (1 << offset_class) - 1;
    std::vector<Item> items = random_literals(rng, 64);
    for (int i = 0; i < 3000; ++i) {
      if (rng() % 3 == 0) {
        items.push_back(literal(static_cast<std::uint8_t>(rng())));
      } else {
        items.push_back(match(3 + static_cast<int>(rng() % 40), low + static_cast<int>(rng() % (high - low + 1))));
      }
    }
    const Block block = testing::make_block(rng, items);
    ASSERT_GE(block.offsets.single, 0);
    BitWriter w;
    testing::put_block(w, block);
    const std::vector<std::uint8_t> expected = testing::expand({block});
    const std::string what = "class " + std::to_string(offset_class);
    EXPECT_EQ(testing::decode_stream(w.bytes, expected.size()), expected) << what;
    expect_like_reference(w.bytes, testing::chunked_rooms(expected.size()), what);
  }
}

// The fast loop stops 16 bytes before the source's end and with fewer than
// three symbols left in a block; the careful loop then reads the last bytes
// and the zeros past them. Streams that end in a long match's extra bits,
// in literals, in a block's last symbol before the next header, each whole
// and cut short at every one of its last 24 bytes.
TEST(FastPathEdges, StreamsEndingAtTheSourcesEnd) {
  std::mt19937 rng(24);
  const std::vector<std::vector<Item>> endings = {
      {match(200, 8000)}, {match(3, 4095), match(4, 8191)}, {literal('a'), literal('b'), literal('c')}};
  for (std::size_t e = 0; e < endings.size(); ++e) {
    for (int blocks = 1; blocks <= 2; ++blocks) {
      BitWriter w;
      std::vector<Block> written;
      for (int b = 0; b < blocks; ++b) {
        std::vector<Item> items = testing::random_items(rng, 1500);
        if (b == blocks - 1) items.insert(items.end(), endings[e].begin(), endings[e].end());
        written.push_back(testing::make_block(rng, items));
        testing::put_block(w, written.back());
      }
      const std::vector<std::uint8_t> expected = testing::expand(written);
      const std::string what = "ending " + std::to_string(e) + ", blocks " + std::to_string(blocks);
      EXPECT_EQ(testing::decode_stream(w.bytes, expected.size()), expected) << what;
      const std::vector<std::size_t> rooms = testing::chunked_rooms(expected.size() + 100);
      for (std::size_t cut = 0; cut <= 24 && cut < w.bytes.size(); ++cut) {
        const std::span<const std::uint8_t> stream(w.bytes.data(), w.bytes.size() - cut);
        expect_like_reference(stream, rooms, what + ", cut " + std::to_string(cut));
      }
    }
  }
}

}  // namespace
}  // namespace telo
