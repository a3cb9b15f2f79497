#pragma once

// Finding the payload inside an installer's file: the first block at a
// multiple of 1024 (from 1024 on) that starts with the marker, checked by
// its CRC. The installer, the packer's inspection and the packer's check
// of a stub all use this one scan.

#include <cstdint>
#include <span>

#include "payload/format.h"

namespace telo {

enum class HeaderFault {
  kNone,
  kNotFound,  // the file ends before a block with the marker
  kNoMemory,  // the CRC table cannot be had
  kCrc,       // the block with the marker fails its CRC
};

// Scans the file open at `fd` (read with pread, so its position does not
// matter) and fills `header` with the block found, and `offset` with its
// place. Only the first block with the marker is examined further.
HeaderFault find_payload_header(int fd, PayloadHeader* header, std::uint64_t* offset);

// The first block after `after` (at a multiple of 1024) that starts with
// the marker and passes its CRC: another payload that an installer whose own
// marker were damaged would take instead. False when there is none.
bool find_later_payload_header(int fd, std::uint64_t after, std::uint64_t* offset);

// True when `bytes` (a program about to carry a payload) hold the marker
// at a place the scan looks at: the installer would take that for its
// payload, whatever follows it.
bool holds_payload_marker(std::span<const std::uint8_t> bytes);

// True when every record of the payload is in this one file.
inline bool is_single_volume(const PayloadHeader& header) { return header.volume == kSingleVolume; }

}  // namespace telo
