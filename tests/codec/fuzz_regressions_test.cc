// Replays every input kept in fuzz/regressions/decompressor/ the way the fuzz
// target runs it: the fast decoder must match the plain one call by call.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "codec/codec.h"
#include "codec/reference_decoder.h"
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

}  // namespace
}  // namespace telo
