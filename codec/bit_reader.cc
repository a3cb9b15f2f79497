#include "codec/bit_reader.h"

#include <algorithm>
#include <cassert>

#include "codec/context.h"

namespace telo {

BitReader refill_bytes(BitReader reader) {
  while (reader.count < kRefillBits) {
    std::uint64_t byte = 0;
    if (reader.in < reader.end) {
      byte = *reader.in++;
    } else {
      ++reader.zeros_fed;
    }
    reader.bits |= byte << (56 - reader.count);
    reader.count += 8;
  }
  return reader;
}

namespace {

// A stream may begin at any bit of the source: its whole bytes are passed
// over (those past the end as zeros read), then the bits of the first byte.
void skip_to_start(BitReader& reader, std::uint64_t start_bit) {
  const std::uint64_t bytes = start_bit / 8;
  const auto available = static_cast<std::uint64_t>(reader.end - reader.in);
  if (bytes <= available) {
    reader.in += bytes;
  } else {
    reader.in = reader.end;
    // Far enough past the end to show a stream cut short, without overflow.
    reader.zeros_fed = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes - available, 1u << 30));
  }
  const int bits = static_cast<int>(start_bit % 8);
  if (bits == 0) return;
  refill(reader);
  skip_bits(reader, bits);
}

}  // namespace

// Format notes: the plain form keeps 16 + last_byte_bits bits read ahead,
// the 16 of bit_buffer and the unused low bits of last_byte.
BitReader bit_reader_resume(const Decompressor& context, const ByteWindow& source, bool fresh) {
  BitReader reader;
  reader.in = source.pos;
  reader.end = source.end < source.pos ? source.pos : source.end;
  if (fresh) {
    skip_to_start(reader, context.start_bit);
  } else {
    const int spare = context.last_byte_bits;
    assert(spare >= 0 && spare < 8);
    const std::uint64_t low = context.last_byte & ((1u << spare) - 1);
    reader.bits = (std::uint64_t{context.bit_buffer} << 48) | (low << (48 - spare));
    reader.count = 16 + spare;
  }
  return reader;
}

void bit_reader_suspend(BitReader reader, Decompressor& context, ByteWindow& source) {
  if (reader.count < 16) refill(reader);
  // The plain form holds 16 to 23 bits; the whole bytes beyond go back, the
  // zeros read past the end first since they were read last.
  const int spare = (reader.count - 16) & 7;
  std::uint32_t give_back = static_cast<std::uint32_t>(reader.count - 16 - spare) >> 3;
  const std::uint32_t zeros = give_back < reader.zeros_fed ? give_back : reader.zeros_fed;
  give_back -= zeros;
  reader.in -= give_back;

  context.bit_buffer = static_cast<std::uint16_t>(reader.bits >> 48);
  const std::uint32_t following =
      spare == 0 ? 0 : static_cast<std::uint32_t>((reader.bits << 16) >> (64 - spare));
  // The byte most recently taken: the tail of bit_buffer and the bits after it
  // (all zero when it lay past the end).
  context.last_byte = ((std::uint32_t{context.bit_buffer} << spare) | following) & 0xFF;
  context.last_byte_bits = spare;
  context.zero_bytes_taken += reader.zeros_fed - zeros;
  source.consumed += static_cast<std::uint32_t>(reader.in - source.pos);
  source.pos = const_cast<std::uint8_t*>(reader.in);
}

}  // namespace telo
