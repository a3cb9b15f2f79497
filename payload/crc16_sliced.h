#pragma once

// CRC-16/ARC sixteen bytes at a time, for checking file contents at memory
// speed. Same value and byte order as crc16_update with the standard table:
// the running value has its two bytes exchanged.

#include <cstddef>
#include <cstdint>

namespace telo {

std::uint16_t crc16_sliced(std::uint16_t initial, const void* data, std::size_t length);

}  // namespace telo
