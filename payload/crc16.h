#pragma once

// CRC-16/ARC, the checksum of every CRC field of the payload: reflected
// polynomial 0xA001, initial value 0, no final XOR. The fields hold the
// standard value in big-endian byte order, which is what a register kept
// with its two bytes exchanged gives when stored little-endian.
//
// File contents, on both the installer's and the packer's side, go through
// crc16_sliced (crc16_sliced.h). This byte-at-a-time routine stays for the
// headers, a few hundred bytes each, and as the plain reference that the
// fast routines and the tests check against.

#include <cstdint>
#include <span>

namespace telo {

// Entry i of the byte-at-a-time table: i shifted through eight rounds.
constexpr std::uint16_t crc16_table_entry(unsigned i) {
  unsigned v = i;
  for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
  return static_cast<std::uint16_t>(v);
}

// A 512-byte split table (256 low bytes, then 256 high bytes), malloc'd;
// null when memory is exhausted. The caller frees it.
std::uint8_t* crc16_make_table();

// The checksum of `length` bytes continued from `initial`, bytes exchanged;
// -1 for a null table.
std::int32_t crc16_update(const std::uint8_t* table, std::uint32_t initial,
                          const void* data, std::uint32_t length);

// The same checksum from a built-in table, for callers that cannot fail.
std::uint16_t crc16(std::span<const std::uint8_t> data);

// The checksum of A followed by B from that of A (`first`), that of B taken
// from 0 (`second`) and B's length: parts checked apart, in any order, give
// the whole's value. Values as crc16_update gives them.
std::uint16_t crc16_combine(std::uint16_t first, std::uint16_t second, std::uint64_t second_length);

}  // namespace telo
