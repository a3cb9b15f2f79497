#pragma once

// The round trip the level fuzz targets run (one target per level, so that
// each gets its own corpus and time): every input must come back from both
// decoders, call by call alike; a context that coded other inputs before, or
// was left by a full destination, must give the same bytes; and a
// destination one byte short must give result 0 with a prefix of the stream.
//
// Input: one control byte, then the data. Control bit 7 set: the data is
// tiled (each tile's first byte bumped) to (control & 0x7F) * tile_unit
// bytes, so that matches reach across the whole window, blocks fill to their
// limit and long inputs are seen at all. The best level takes a smaller unit:
// it codes about 20 times slower, and its long inputs are in the unit tests.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "codec/context.h"
#include "codec/reference_decoder.h"

namespace telo::fuzzing {

using Bytes = std::vector<std::uint8_t>;

inline void check(bool ok) {
  if (!ok) std::abort();
}

inline Bytes level_input(const std::uint8_t* data, std::size_t size, std::size_t tile_unit) {
  if (size == 0) return {};
  const std::uint8_t control = data[0];
  Bytes input(data + 1, data + size);
  if ((control & 0x80) == 0 || input.empty()) return input;
  const std::size_t target = static_cast<std::size_t>(control & 0x7F) * tile_unit;
  Bytes tiled;
  tiled.reserve(target + input.size());
  for (std::uint8_t tile = 0; tiled.size() < target; ++tile) {
    const std::size_t start = tiled.size();
    tiled.insert(tiled.end(), input.begin(), input.end());
    tiled[start] = static_cast<std::uint8_t>(tiled[start] + tile);
  }
  return tiled;
}

inline int level_compress(Decompressor* context, CompressionLevel level, const Bytes& input, Bytes& stream) {
  Bytes in = input;  // exact size, so a read past the input shows
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  ByteWindow destination{stream.data(), stream.data() + stream.size(), 0, stream.data(), 0};
  const int result = codec_compress_level(context, level, &source, &destination);
  check(destination.consumed == static_cast<std::uint32_t>(destination.pos - stream.data()));
  stream.resize(destination.consumed);
  return result;
}

// Decodes with `decode` the way the extractor calls it.
inline Bytes level_decode(int (*decode)(Decompressor*, ByteWindow*, ByteWindow*), const Bytes& stream,
                          std::size_t total, std::vector<std::uint32_t>& consumed) {
  Decompressor* context = nullptr;
  check(decompressor_create(&context) == 0);
  Bytes in = stream;
  ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  Bytes output(total);
  for (std::size_t done = 0; done < total; done += kChunkLimit) {
    const std::size_t room = total - done < kChunkLimit ? total - done : kChunkLimit;
    ByteWindow destination{output.data() + done, output.data() + done + room, 0, nullptr, 0};
    check(decode(context, &source, &destination) == 0);
    check(destination.pos == output.data() + done + room);
    consumed.push_back(source.consumed);
  }
  if (total > 0) check(source.consumed == stream.size());  // all of it, nothing past its end
  decompressor_destroy(&context);
  return output;
}

// Contexts live across inputs: making the best level's work memory for each
// one would cost more than coding it, and what one input leaves behind must
// not change the next one's stream anyway.
inline void level_roundtrip(CompressionLevel level, std::size_t tile_unit, const std::uint8_t* data,
                            std::size_t size) {
  static Decompressor* first = nullptr;
  static Decompressor* second = nullptr;
  if (first == nullptr) check(decompressor_create(&first) == 0 && decompressor_create(&second) == 0);
  const Bytes input = level_input(data, size, tile_unit);

  Bytes stream(input.size() + input.size() / 8 + 64);
  check(level_compress(first, level, input, stream) == 1);
  std::vector<std::uint32_t> fast_consumed;
  std::vector<std::uint32_t> plain_consumed;
  check(level_decode(decompressor_decode, stream, input.size(), fast_consumed) == input);
  check(level_decode(reference_decode, stream, input.size(), plain_consumed) == input);
  check(fast_consumed == plain_consumed);

  if (!stream.empty()) {
    Bytes short_room(stream.size() - 1);
    check(level_compress(second, level, input, short_room) == 0);
    check(short_room.size() == stream.size() - 1);
    check(std::memcmp(short_room.data(), stream.data(), short_room.size()) == 0);
  }
  Bytes again(stream.size() + 8);
  check(level_compress(second, level, input, again) == 1);
  check(again == stream);
}

}  // namespace telo::fuzzing
