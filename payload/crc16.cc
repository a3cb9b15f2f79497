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

}  // namespace telo
