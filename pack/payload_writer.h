#pragma once

// Building blocks for writing payloads: the packer uses them, and so do the
// tests that feed the installer hand-made payloads. The header's texts and
// totals are payload/header_fields.h's.

#include <cstdint>
#include <string_view>
#include <vector>

#include "payload/format.h"

namespace telo {

// A zeroed header with the marker, both -1 fields (single volume) and the texts unset.
PayloadHeader new_payload_header();

// Computes header_crc over the block (with the field itself taken as zero).
void seal_payload_header(PayloadHeader& header);

// The record header bytes for `record` and `rel_path`. A header_length of 0
// is replaced by the smallest that holds the path; record_crc is computed.
std::vector<std::uint8_t> make_record_header(FileRecord record, std::string_view rel_path);

// Where a payload goes after a stub of `stub_size` bytes: the next multiple
// of 1024, never below 1024.
std::uint64_t payload_offset_after(std::uint64_t stub_size);

}  // namespace telo
