#pragma once

// CRC-16/ARC over file contents at memory speed. Same value and byte order
// as crc16_update with the standard table: the running value has its two
// bytes exchanged.

#include <cstddef>
#include <cstdint>

namespace telo {

// The fastest routine this processor offers.
std::uint16_t crc16_sliced(std::uint16_t initial, const void* data, std::size_t length);

// Sixteen table lookups per sixteen bytes; runs everywhere.
std::uint16_t crc16_by_tables(std::uint16_t initial, const void* data, std::size_t length);

// Carry-less multiplication folds 64 bytes per step (x86 with PCLMULQDQ,
// 64-bit ARM with PMULL).
// Where the processor lacks it, crc16_folded gives the table routine's value.
bool crc16_folding_supported();
std::uint16_t crc16_folded(std::uint16_t initial, const void* data, std::size_t length);

}  // namespace telo
