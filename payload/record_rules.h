#pragma once

// The rules of one record: checks that keep a damaged or hostile record from
// reaching outside the installation directory or from feeding the decoder
// sizes it cannot honour (run on a header whose CRC has matched, before
// anything is created or removed for it), and how its path becomes the
// directory to create and the file to write.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

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

// Both '/' and '\\' end a component when the directory part of a path is
// cut off; only '/' separates components on the disk.
inline bool is_path_separator(char c) { return c == '/' || c == '\\'; }

// The components of a path that name something, as the file system
// resolves it: empty ones (from "//") and "." fold away; ".." is kept.
std::vector<std::string_view> path_components(std::string_view path);

// The directories a record's file goes into: its path up to the last '/'
// or '\\' (nothing when there is none). So "p\\q" makes a directory "p"
// and a file "p\\q" beside it, since only '/' separates on the disk, and a
// path ending in a separator only loses that separator.
std::string_view directory_part(std::string_view rel_path);

}  // namespace telo
