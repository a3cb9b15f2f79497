#include "payload/crc16.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace telo {

namespace {

// The split layout: 256 low bytes, then 256 high bytes.
constexpr std::array<std::uint8_t, 512> make_split_table() {
  std::array<std::uint8_t, 512> table{};
  for (unsigned i = 0; i < 256; ++i) {
    table[i] = static_cast<std::uint8_t>(crc16_table_entry(i) & 0xFF);
    table[256 + i] = static_cast<std::uint8_t>(crc16_table_entry(i) >> 8);
  }
  return table;
}

constexpr std::array<std::uint8_t, 512> kCrcTable = make_split_table();

}  // namespace

std::uint8_t* crc16_make_table() {
  auto* table = static_cast<std::uint8_t*>(std::malloc(kCrcTable.size()));
  if (table != nullptr) std::memcpy(table, kCrcTable.data(), kCrcTable.size());
  return table;
}

// The register is kept with its bytes exchanged: `hi` holds the standard
// CRC's low byte. Stored little-endian, the result reads big-endian.
std::int32_t crc16_update(const std::uint8_t* table, std::uint32_t initial,
                          const void* data, std::uint32_t length) {
  if (table == nullptr) return -1;
  unsigned hi = (initial >> 8) & 0xFF;
  unsigned lo = initial & 0xFF;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::uint32_t k = 0; k < length; ++k) {
    unsigned idx = hi ^ bytes[k];
    hi = lo ^ table[idx];
    lo = table[256 + idx];
  }
  return static_cast<std::int32_t>((hi << 8) | lo);
}

std::uint16_t crc16(std::span<const std::uint8_t> data) {
  std::uint32_t value = 0;
  // Chunks keep each call's length within 32 bits.
  constexpr std::size_t kChunk = 1u << 30;
  for (std::size_t done = 0; done < data.size(); done += kChunk) {
    std::size_t n = std::min(kChunk, data.size() - done);
    value = static_cast<std::uint32_t>(
        crc16_update(kCrcTable.data(), value, data.data() + done, static_cast<std::uint32_t>(n)));
  }
  return static_cast<std::uint16_t>(value);
}

namespace {

// The register after one zero byte is a linear function of the register
// before, so a run of zero bytes is a 16 x 16 matrix over GF(2), kept as
// the images of the 16 single bits.
using BitMatrix = std::array<std::uint16_t, 16>;

std::uint16_t apply(const BitMatrix& m, std::uint16_t v) {
  std::uint16_t out = 0;
  for (int bit = 0; bit < 16; ++bit)
    if (v & (1u << bit)) out ^= m[bit];
  return out;
}

BitMatrix square(const BitMatrix& m) {
  BitMatrix out{};
  for (int bit = 0; bit < 16; ++bit) out[bit] = apply(m, m[bit]);
  return out;
}

}  // namespace

std::uint16_t crc16_combine(std::uint16_t first, std::uint16_t second, std::uint64_t second_length) {
  // CRC(A, B) = CRC(A, B's length in zeros) ^ CRC(0, B): the register runs
  // through B's length of zero bytes by squaring the one-byte matrix.
  BitMatrix step{};
  const std::uint8_t zero = 0;
  for (int bit = 0; bit < 16; ++bit)
    step[bit] = static_cast<std::uint16_t>(crc16_update(kCrcTable.data(), 1u << bit, &zero, 1));
  std::uint16_t value = first;
  for (std::uint64_t left = second_length; left != 0; left >>= 1) {
    if (left & 1) value = apply(step, value);
    step = square(step);
  }
  return static_cast<std::uint16_t>(value ^ second);
}

}  // namespace telo
