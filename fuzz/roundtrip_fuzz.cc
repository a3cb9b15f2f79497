// Fuzzes the compressor: every input must decode back to itself, compressing
// it again with the same context must give the same bytes, and a destination
// one byte short must give result 0 with a prefix of the stream.
//
// Input: one control byte, then the data. Control bit 7 set: the data is
// tiled (each tile's first byte bumped) to (control & 0x7F) * 256 bytes, so
// that the text buffer slides and matches reach across the whole window.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void check(bool ok) {
  if (!ok) std::abort();
}

Bytes input_of(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  const std::uint8_t control = data[0];
  Bytes input(data + 1, data + size);
  if ((control & 0x80) == 0 || input.empty()) return input;
  const std::size_t target = static_cast<std::size_t>(control & 0x7F) * 256;
  Bytes tiled;
  tiled.reserve(target + input.size());
  for (std::uint8_t tile = 0; tiled.size() < target; ++tile) {
    const std::size_t start = tiled.size();
    tiled.insert(tiled.end(), input.begin(), input.end());
    tiled[start] = static_cast<std::uint8_t>(tiled[start] + tile);
  }
  return tiled;
}

int compress(telo::Decompressor* context, const Bytes& input, Bytes& stream) {
  Bytes in = input;  // exact size, so a read past the input shows
  telo::ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  telo::ByteWindow destination{stream.data(), stream.data() + stream.size(), 0, stream.data(), 0};
  const int result = telo::codec_compress(context, &source, &destination);
  check(destination.consumed == static_cast<std::uint32_t>(destination.pos - stream.data()));
  stream.resize(destination.consumed);
  return result;
}

Bytes decompress(const Bytes& stream, std::size_t total) {
  telo::Decompressor* context = nullptr;
  check(telo::decompressor_create(&context) == 0);
  Bytes in = stream;
  telo::ByteWindow source{in.data(), in.data() + in.size(), 0, in.data(), 0};
  Bytes output(total);
  for (std::size_t done = 0; done < total; done += telo::kChunkLimit) {
    const std::size_t room = total - done < telo::kChunkLimit ? total - done : telo::kChunkLimit;
    telo::ByteWindow destination{output.data() + done, output.data() + done + room, 0, nullptr, 0};
    check(telo::decompressor_decode(context, &source, &destination) == 0);
    check(destination.pos == output.data() + done + room);
  }
  if (total > 0) check(source.consumed == stream.size());  // all of it, nothing past its end
  telo::decompressor_destroy(&context);
  return output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes input = input_of(data, size);
  telo::Decompressor* context = nullptr;
  check(telo::decompressor_create(&context) == 0);

  Bytes stream(input.size() + input.size() / 8 + 64);
  check(compress(context, input, stream) == 1);
  check(decompress(stream, input.size()) == input);

  Bytes again(stream.size() + 8);
  check(compress(context, input, again) == 1);
  check(again == stream);

  Bytes short_room(stream.size() - 1);
  check(compress(context, input, short_room) == 0);
  check(short_room.size() == stream.size() - 1);
  check(std::memcmp(short_room.data(), stream.data(), short_room.size()) == 0);

  telo::decompressor_destroy(&context);
  return 0;
}
