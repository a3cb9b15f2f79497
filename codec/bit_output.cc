#include "codec/bit_output.h"

namespace telo {

namespace {
constexpr int kFastRoom = 8;  // below this many free bytes, flush byte by byte
}

void bit_output_start(BitOutput& out, std::uint8_t* pos, std::uint8_t* end) {
  out = BitOutput{};
  out.pos = pos;
  out.end = end;
  if (end - pos < kFastRoom) out.flush_at = 8;
}

void bits_flush(BitOutput& out) {
  if (out.count >= 32 && out.end - out.pos >= 4) {
    const auto word = static_cast<std::uint32_t>(out.pending >> (out.count - 32));
    out.pos[0] = static_cast<std::uint8_t>(word >> 24);
    out.pos[1] = static_cast<std::uint8_t>(word >> 16);
    out.pos[2] = static_cast<std::uint8_t>(word >> 8);
    out.pos[3] = static_cast<std::uint8_t>(word);
    out.pos += 4;
    out.count -= 32;
  }
  while (out.count >= 8) {
    out.count -= 8;
    if (out.pos == out.end) {
      out.full = true;  // the byte is lost; the stream is unusable anyway
      continue;
    }
    *out.pos++ = static_cast<std::uint8_t>(out.pending >> out.count);
  }
  if (out.end - out.pos < kFastRoom) out.flush_at = 8;
}

}  // namespace telo
