// Replays every input kept in fuzz/regressions/decompressor/ the way the fuzz
// target runs it: the fast decoder must match the plain one call by call.
// Likewise the inputs of the compression levels' round-trip targets.

#include <filesystem>
#include <string>
#include <utility>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "codec/codec.h"
#include "codec/reference_decoder.h"
#include "fuzz/level_roundtrip.h"
#include "tests/codec/decode_driver.h"

namespace telo {
namespace {

// The fuzz target's reading of its control byte.
std::vector<std::size_t> rooms_for(std::uint8_t control) {
  std::vector<std::size_t> rooms;
  const int calls = 1 + (control & 3);
  for (int call = 0; call < calls; ++call) {
    std::size_t room = kChunkLimit;
    if ((control & 8) && call % 2 == 1) room = static_cast<std::size_t>(control >> 4) * 16;
    rooms.push_back(room);
  }
  return rooms;
}

TEST(FuzzRegressions, DecompressorInputsDecodeAlikeInBothDecoders) {
  const std::filesystem::path dir = std::filesystem::path(TELO_SOURCE_DIR) / "fuzz/regressions/decompressor";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
    if (input.empty()) continue;
    const std::span<const std::uint8_t> stream(input.data() + 1, input.size() - 1);
    const std::vector<std::size_t> rooms = rooms_for(input[0]);
    const testing::DecodeRun fast = testing::run_decoder(decompressor_decode, stream, rooms);
    const testing::DecodeRun plain = testing::run_decoder(reference_decode, stream, rooms);
    EXPECT_EQ(fast.calls, plain.calls) << entry.path();
    EXPECT_EQ(fast.output, plain.output) << entry.path();
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

std::vector<std::vector<std::uint8_t>> inputs_in(const char* folder) {
  const std::filesystem::path dir = std::filesystem::path(TELO_SOURCE_DIR) / "fuzz/regressions" / folder;
  EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::vector<std::vector<std::uint8_t>> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  return inputs;
}

TEST(FuzzRegressions, LevelInputsComeBackAndRepeatThemselves) {
  struct Target {
    const char* folder;
    CompressionLevel level;
    std::size_t tile_unit;  // as the fuzz target tiles its inputs
  };
  const Target targets[] = {{"roundtrip_fast", CompressionLevel::kFast, 1024},
                            {"roundtrip_best", CompressionLevel::kBest, 256}};
  for (const auto& [folder, level, tile_unit] : targets) {
    const auto inputs = inputs_in(folder);
    EXPECT_GT(inputs.size(), 1u) << folder;
    for (const auto& raw : inputs) {
      SCOPED_TRACE(std::string(folder) + ", " + std::to_string(raw.size()) + " bytes");
      const std::vector<std::uint8_t> input = fuzzing::level_input(raw.data(), raw.size(), tile_unit);
      Decompressor* context = nullptr;
      ASSERT_EQ(decompressor_create(&context), 0);
      std::vector<std::uint8_t> stream(input.size() + input.size() / 8 + 64);
      ASSERT_EQ(fuzzing::level_compress(context, level, input, stream), 1);
      decompressor_destroy(&context);
      const testing::DecodeRun fast = testing::run_decoder(decompressor_decode, stream, testing::chunked_rooms(input.size()));
      const testing::DecodeRun plain = testing::run_decoder(reference_decode, stream, testing::chunked_rooms(input.size()));
      EXPECT_EQ(fast.calls, plain.calls);
      EXPECT_EQ(fast.output, input);
      EXPECT_EQ(plain.output, input);
    }
  }
}

}  // namespace
}  // namespace telo
