#pragma once

// The rules of one record: checks that keep a damaged or hostile record from
// reaching outside the installation directory or from feeding the decoder
// sizes it cannot honour (run on a header whose CRC has matched, before
// anything is created or removed for it). How its path is cut up is
// record_path.h's.

#include <cstdint>
#include <span>
#include <string_view>

#include "payload/format.h"

namespace telo {

enum class RecordFault {
  kNone,
  kUnterminatedPath,    // no zero byte ends rel_path within the header
  kUnsafePath,          // a ".." climbs above the installation directory
  kEmptyCompressed,     // a compressed record of size 0
  kStoredSizeMismatch,  // a stored record whose stored_size differs from size
  kRemovalWithBytes,    // a removal record that claims stored bytes
};

// The rel_path of a record header (all of its header_length bytes, at least
// kRecordFixedSize). False when no zero byte ends the path within the header.
bool record_rel_path(std::span<const std::uint8_t> header, std::string_view* rel_path);

// True for a path that stays below the directory it is joined to (read as
// written, without links): no ".." climbs above it. An empty or absolute
// path stays inside, since the directory and a '/' come before it.
bool is_safe_rel_path(std::string_view rel_path);

// The first fault of a record header, or RecordFault::kNone.
RecordFault check_record(std::span<const std::uint8_t> header, const FileRecord& record);

// A short English description of a fault, for tools that report it.
const char* record_fault_text(RecordFault fault);

}  // namespace telo
