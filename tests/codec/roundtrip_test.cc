#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/context.h"
#include "tests/codec/sample_inputs.h"
#include "tests/codec/decode_driver.h"

namespace telo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::random_bytes;

struct Case {
  std::string name;
  Bytes input;
};

Bytes compress_all(const Bytes& input) {
  Decompressor* context = nullptr;
  EXPECT_EQ(decompressor_create(&context), 0);
  Bytes in = input;
  Bytes out(input.size() + input.size() / 8 + 64);
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  ByteWindow destination{out.data(), out.data() + out.size(), 0, out.data(), 0};
  EXPECT_EQ(codec_compress(context, &source, &destination), 1);
  EXPECT_EQ(source.consumed, input.size());
  decompressor_destroy(&context);
  out.resize(destination.consumed);
  return out;
}

// Decodes with calls of `room` bytes each (at least 8192, so each call yields
// 8192 bytes) and keeps the first `total` bytes the calls wrote; the last
// call decodes on past the stream's end into bytes that are dropped.
Bytes decode_in_calls(const Bytes& stream, std::size_t total, std::size_t room) {
  std::vector<std::size_t> rooms;
  for (std::size_t done = 0; done < total; done += kChunkLimit) rooms.push_back(room);
  if (rooms.empty()) return {};
  const auto run = testing::run_decoder(decompressor_decode, stream, rooms);
  Bytes output;
  for (std::size_t i = 0; i < run.calls.size(); ++i) {
    EXPECT_EQ(run.calls[i].result, 0);
    const auto first = run.output.begin() + static_cast<std::ptrdiff_t>(i * room);
    output.insert(output.end(), first, first + static_cast<std::ptrdiff_t>(run.calls[i].written));
  }
  output.resize(total);
  return output;
}

Bytes words(std::size_t n, unsigned variant) {
  static const char* const vocabulary[] = {"extract ", "the ", "directory ", "file ", "of ",
                                           "record ", "Next? ", "Back? ", "\n", "installer "};
  return testing::words_from(vocabulary, n, variant);
}

// Few distinct bytes in long and short runs, with repeats far and near.
Bytes structured(std::size_t n, unsigned variant) {
  std::mt19937 rng(variant);
  Bytes v;
  while (v.size() < n) {
    const std::uint32_t draw = rng();  // one draw per statement: a fixed order
    const std::size_t run = 1 + draw % (rng() % 4 == 0 ? 600 : 12);
    const auto byte = static_cast<std::uint8_t>(rng() % 3);
    if (rng() % 5 == 0 && v.size() > 9000) {
      const std::size_t from = v.size() - 1 - rng() % 8192;
      for (std::size_t k = 0; k < run; ++k) v.push_back(v[from + k]);
    } else {
      v.insert(v.end(), run, byte);
    }
  }
  v.resize(n);
  return v;
}

Bytes file_bytes(const std::string& path, std::size_t most) {
  std::ifstream file(path, std::ios::binary);
  Bytes v((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (v.size() > most) v.resize(most);
  return v;
}

std::vector<Case> cases() {
  std::vector<Case> all = {{"empty", {}}, {"one byte", {0x42}}, {"two bytes", {0x00, 0xFF}}};
  for (std::size_t n : {8191u, 8192u, 8193u, 16384u, 16385u, 16640u, 24577u}) {
    all.push_back({"random " + std::to_string(n), random_bytes(n, static_cast<unsigned>(n))});
    all.push_back({"words " + std::to_string(n), words(n, static_cast<unsigned>(n))});
    all.push_back({"zeros " + std::to_string(n), Bytes(n, 0)});
  }
  all.push_back({"random 3 MB", random_bytes(3 << 20, 1)});
  all.push_back({"words 3 MB", words(3 << 20, 2)});
  all.push_back({"structured 2 MB", structured(2 << 20, 3)});
  all.push_back({"this test binary", file_bytes("/proc/self/exe", 3 << 20)});
  all.push_back({"installer binary", file_bytes(TELO_INSTALLER_PATH, 2 << 20)});
  all.push_back({"codec sources", file_bytes(TELO_SOURCE_DIR "/codec/compressor.cc", 1 << 20)});
  return all;
}

TEST(CodecRoundTrip, EveryInputComesBackWhateverTheCallSizes) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Bytes stream = compress_all(c.input);
    EXPECT_EQ(testing::decode_stream(stream, c.input.size()), c.input);
    if (c.input.size() > kChunkLimit) {
      EXPECT_EQ(decode_in_calls(stream, c.input.size(), 3 * kChunkLimit), c.input);
    }
  }
}

TEST(CodecRoundTrip, RunsOfEveryLengthUpTo300) {
  for (std::uint8_t byte : {0x00, 0x61}) {
    for (std::size_t n = 0; n <= 300; ++n) {
      const Bytes input(n, byte);
      ASSERT_EQ(testing::decode_stream(compress_all(input), n), input) << n << " of " << int{byte};
    }
  }
}

TEST(CodecRoundTrip, StoredSizeFitsAndCompressesRedundantData) {
  const Bytes text = words(1 << 20, 9);
  EXPECT_LT(compress_all(text).size(), text.size() / 3);
  const Bytes noise = random_bytes(1 << 20, 9);
  EXPECT_LT(compress_all(noise).size(), noise.size() + noise.size() / 64);
}

}  // namespace
}  // namespace telo
