#include "payload/crc16_sliced.h"

#include <array>
#include <cstring>

#include "payload/crc16.h"

namespace telo {

namespace {

constexpr int kSlices16 = 16;
using SliceTables = std::array<std::array<std::uint16_t, 256>, kSlices16>;

// Table k advances a byte through k further zero bytes (reflected polynomial 0xA001).
constexpr SliceTables make_slice_tables() {
  SliceTables t{};
  for (unsigned i = 0; i < 256; ++i) t[0][i] = crc16_table_entry(i);
  for (int k = 1; k < kSlices16; ++k) {
    for (unsigned i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
  }
  return t;
}

constexpr SliceTables kSlices = make_slice_tables();

constexpr std::uint16_t exchange(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

}  // namespace

std::uint16_t crc16_by_tables(std::uint16_t initial, const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t crc = exchange(initial);  // the standard register
  const auto& t = kSlices;
  for (; length >= 16; length -= 16, p += 16) {
    std::uint64_t a, b;
    std::memcpy(&a, p, sizeof a);  // little-endian: byte 0 in the low bits
    std::memcpy(&b, p + 8, sizeof b);
    a ^= crc;
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][(a >> 24) & 0xFF] ^
          t[11][(a >> 32) & 0xFF] ^ t[10][(a >> 40) & 0xFF] ^ t[9][(a >> 48) & 0xFF] ^ t[8][a >> 56] ^
          t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF] ^ t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF] ^
          t[3][(b >> 32) & 0xFF] ^ t[2][(b >> 40) & 0xFF] ^ t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56];
  }
  for (; length >= 8; length -= 8, p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);  // little-endian: byte 0 in the low bits
    w ^= crc;
    crc = kSlices[7][w & 0xFF] ^ kSlices[6][(w >> 8) & 0xFF] ^ kSlices[5][(w >> 16) & 0xFF] ^
          kSlices[4][(w >> 24) & 0xFF] ^ kSlices[3][(w >> 32) & 0xFF] ^ kSlices[2][(w >> 40) & 0xFF] ^
          kSlices[1][(w >> 48) & 0xFF] ^ kSlices[0][w >> 56];
  }
  for (; length > 0; --length, ++p) crc = (crc >> 8) ^ kSlices[0][(crc ^ *p) & 0xFF];
  return exchange(static_cast<std::uint16_t>(crc));
}

// Folding pays off once its set-up is spread over a few steps.
std::uint16_t crc16_sliced(std::uint16_t initial, const void* data, std::size_t length) {
  static const bool folding = crc16_folding_supported();
  if (folding && length >= 256) return crc16_folded(initial, data, length);
  return crc16_by_tables(initial, data, length);
}

}  // namespace telo
