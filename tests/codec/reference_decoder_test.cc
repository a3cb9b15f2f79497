// The fast decoder against the plain one, call by call, over many streams:
// well-formed ones, damaged ones, truncated ones and noise, with rooms that
// follow the extractor's rule and rooms that break it.

#include "codec/reference_decoder.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "codec/codec.h"
#include "tests/codec/bit_writer.h"
#include "tests/codec/decode_driver.h"
#include "tests/codec/stream_writer.h"

namespace telo {
namespace {

using testing::BitWriter;
using testing::DecodeRun;
using testing::run_decoder;

// A stream of random blocks; some have a block-size field that disagrees
// with their symbols, which the decoders must still agree on.
std::vector<std::uint8_t> random_stream(std::mt19937& rng, std::size_t* output_size) {
  BitWriter w;
  std::vector<testing::Block> blocks;
  const int count = 1 + static_cast<int>(rng() % 5);
  for (int b = 0; b < count; ++b) {
    const std::uint32_t draw = rng();  // one draw per statement: a fixed order
    const int items = static_cast<int>(draw % (rng() % 3 == 0 ? 20 : 4000));
    testing::Block block = testing::make_block(rng, testing::random_items(rng, items));
    if (rng() % 10 == 0) block.size = rng() % 3 == 0 ? 0 : rng() % 65536;
    testing::put_block(w, block);
    blocks.push_back(block);
  }
  w.put(7, 0);
  *output_size = testing::expand(blocks).size();
  return w.bytes;
}

// Rooms for `total` bytes: mostly 8192, sometimes shorter, sometimes none.
std::vector<std::size_t> random_rooms(std::mt19937& rng, std::size_t total) {
  std::vector<std::size_t> rooms;
  std::size_t given = 0;
  while (given < total + 100) {
    const unsigned roll = rng() % 20;
    std::size_t room = kChunkLimit;
    if (roll == 0) room = 0;
    if (roll == 1) room = 1 + rng() % 9000;
    rooms.push_back(room);
    given += room;
  }
  return rooms;
}

void expect_same_runs(std::span<const std::uint8_t> stream, const std::vector<std::size_t>& rooms,
                      const char* what, int round) {
  const DecodeRun fast = run_decoder(decompressor_decode, stream, rooms);
  const DecodeRun plain = run_decoder(reference_decode, stream, rooms);
  ASSERT_EQ(fast.calls.size(), plain.calls.size());
  for (std::size_t i = 0; i < fast.calls.size(); ++i) {
    ASSERT_EQ(fast.calls[i], plain.calls[i]) << what << " round " << round << " call " << i;
  }
  ASSERT_EQ(fast.output, plain.output) << what << " round " << round;
}

TEST(ReferenceDecoder, AgreesOnWellFormedStreams) {
  std::mt19937 rng(1);
  for (int round = 0; round < 60; ++round) {
    std::size_t size = 0;
    const std::vector<std::uint8_t> stream = random_stream(rng, &size);
    expect_same_runs(stream, testing::chunked_rooms(size + rng() % 20000), "well-formed", round);
    expect_same_runs(stream, random_rooms(rng, size), "odd rooms", round);
  }
}

TEST(ReferenceDecoder, AgreesOnDamagedAndTruncatedStreams) {
  std::mt19937 rng(2);
  for (int round = 0; round < 150; ++round) {
    std::size_t size = 0;
    std::vector<std::uint8_t> stream = random_stream(rng, &size);
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips && !stream.empty(); ++f) {
      const std::size_t at = rng() % stream.size();
      stream[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    if (rng() % 3 == 0) stream.resize(rng() % (stream.size() + 1));
    expect_same_runs(stream, random_rooms(rng, size), "damaged", round);
  }
}

TEST(ReferenceDecoder, AgreesOnNoise) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> stream(rng() % 200);
    for (auto& byte : stream) byte = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
    expect_same_runs(stream, random_rooms(rng, 30000), "noise", round);
  }
}

TEST(ReferenceDecoder, AgreesOnCompressedData) {
  std::mt19937 rng(4);
  std::vector<std::uint8_t> input(300000);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = i % 3000 < 1500 ? static_cast<std::uint8_t>("lorem ipsum dolor "[rng() % 18])
                               : static_cast<std::uint8_t>(rng() % 7);
  }
  Decompressor* context = nullptr;
  ASSERT_EQ(decompressor_create(&context), 0);
  std::vector<std::uint8_t> packed(input.size() + 1000);
  ByteWindow source{input.data(), input.data() + input.size()};
  ByteWindow destination{packed.data(), packed.data() + packed.size()};
  ASSERT_EQ(codec_compress(context, &source, &destination), 1);
  decompressor_destroy(&context);
  packed.resize(static_cast<std::size_t>(destination.pos - packed.data()));
  expect_same_runs(packed, testing::chunked_rooms(input.size()), "compressed", 0);
  EXPECT_EQ(testing::decode_stream(packed, input.size()), input);
}

}  // namespace
}  // namespace telo
