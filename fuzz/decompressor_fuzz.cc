// Fuzzes the decoder with arbitrary streams, calling it the way the extractor
// does (and sometimes with odd rooms), and checks every call against the
// plain decoder: result, bytes written, source pos and consumed, output.
//
// Input: one control byte, then the stream. Control bits 0..1: calls - 1;
// bit 3: odd calls get a short room; bits 4..7: the short room's size / 16.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "codec/reference_decoder.h"

namespace {

struct Side {
  telo::Decompressor* context = nullptr;
  telo::ByteWindow source;
  std::vector<std::uint8_t> output = std::vector<std::uint8_t>(telo::kChunkLimit);
};

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  // An exact-size copy, so that a read past the stream's end is caught.
  std::vector<std::uint8_t> stream(data + 1, data + size);
  Side fast;
  Side plain;
  for (Side* side : {&fast, &plain}) {
    check(telo::decompressor_create(&side->context) == 0);
    side->source.pos = stream.data();
    side->source.end = stream.data() + stream.size();
  }
  const int calls = 1 + (control & 3);
  for (int call = 0; call < calls; ++call) {
    std::size_t room = telo::kChunkLimit;
    if ((control & 8) && call % 2 == 1) room = static_cast<std::size_t>(control >> 4) * 16;
    int results[2];
    std::size_t written[2];
    Side* sides[2] = {&fast, &plain};
    for (int s = 0; s < 2; ++s) {
      std::memset(sides[s]->output.data(), 0xA5, room);
      telo::ByteWindow destination;
      destination.pos = sides[s]->output.data();
      destination.end = destination.pos + room;
      results[s] = s == 0 ? telo::decompressor_decode(fast.context, &fast.source, &destination)
                          : telo::reference_decode(plain.context, &plain.source, &destination);
      written[s] = static_cast<std::size_t>(destination.pos - sides[s]->output.data());
    }
    check(results[0] == results[1]);
    check(written[0] == written[1]);
    check(fast.source.pos == plain.source.pos);
    check(fast.source.consumed == plain.source.consumed);
    check(std::memcmp(fast.output.data(), plain.output.data(), room) == 0);
  }
  for (Side* side : {&fast, &plain}) telo::decompressor_destroy(&side->context);
  return 0;
}
