#pragma once

// Locating and validating the payload inside the program's own file.

#include <cstdint>
#include <cstdio>
#include <span>

#include "payload/format.h"

namespace telo {

// The validated header of this installer's payload, filled at start-up.
extern PayloadHeader payload_header;

// Finds the first block at a multiple of 1024 (from 1024 on) that starts with
// the marker, checks its CRC and leaves `file` just after it. Terminates the
// installation on every failure.
void locate_payload(std::FILE* file, PayloadHeader* header);

// Reads the next `length` payload bytes from payload_file; returns the count read.
std::uint32_t payload_read(void* destination, std::uint32_t length);

// CRC-16/ARC through a 512-byte split table (low bytes, then high bytes).
// The running value is kept with its two bytes exchanged, so the result,
// stored little-endian, puts the standard CRC in big-endian byte order.
std::uint8_t* crc16_make_table();  // malloc'd; null when memory is exhausted
std::int32_t crc16_update(const std::uint8_t* table, std::uint32_t initial,
                          const void* data, std::uint32_t length);

// The same checksum from a built-in table, for callers that cannot fail.
std::uint16_t crc16(std::span<const std::uint8_t> data);

}  // namespace telo
