#pragma once

// Checks that keep a damaged or hostile record from reaching outside the
// installation directory or from feeding the decoder sizes it cannot honour.
// They run on a record header whose CRC has matched, before anything is
// created or removed for that record.

#include <cstdint>
#include <span>
#include <string_view>

#include "payload/format.h"

namespace telo {

enum class RecordFault {
  kNone,
  kUnterminatedPath,    // no zero byte ends rel_path within the header
  kUnsafePath,          // empty, absolute, or with a ".." component
  kEmptyCompressed,     // a compressed record of size 0
  kStoredSizeMismatch,  // a stored record whose stored_size differs from size
};

// The rel_path of a record header (all of its header_length bytes, at least
// kRecordFixedSize). False when no zero byte ends the path within the header.
bool record_rel_path(std::span<const std::uint8_t> header, std::string_view* rel_path);

// True for a path that stays below the directory it is joined to: not empty,
// not absolute, and no component is "..".
bool is_safe_rel_path(std::string_view rel_path);

// The first fault of a record header, or RecordFault::kNone.
RecordFault check_record(std::span<const std::uint8_t> header, const FileRecord& record);

// A short English description of a fault, for tools that report it.
const char* record_fault_text(RecordFault fault);

}  // namespace telo
