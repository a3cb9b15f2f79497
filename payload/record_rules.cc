#include "payload/record_rules.h"

#include <cstring>

#include "payload/record_path.h"

namespace telo {

bool record_rel_path(std::span<const std::uint8_t> header, std::string_view* rel_path) {
  if (header.size() <= record_offset::kRelPath) return false;
  const auto* first = reinterpret_cast<const char*>(header.data() + record_offset::kRelPath);
  std::size_t room = header.size() - record_offset::kRelPath;
  const void* terminator = std::memchr(first, '\0', room);
  if (terminator == nullptr) return false;
  *rel_path = std::string_view(first, static_cast<const char*>(terminator) - first);
  return true;
}

bool is_safe_rel_path(std::string_view rel_path) {
  // The path is joined to the directory with a '/', so a leading '/' only
  // doubles a separator; what counts is that no ".." climbs above the top.
  std::size_t depth = 0;
  for (std::string_view part : path_components(rel_path)) {
    if (part != "..") ++depth;
    else if (depth-- == 0) return false;
  }
  return true;
}

RecordFault check_record(std::span<const std::uint8_t> header, const FileRecord& record) {
  std::string_view rel_path;
  if (!record_rel_path(header, &rel_path)) return RecordFault::kUnterminatedPath;
  if (!is_safe_rel_path(rel_path)) return RecordFault::kUnsafePath;
  // A removal's stored bytes would be read as the next record's header.
  if (record.method == METHOD_REMOVE)
    return record.stored_size == 0 ? RecordFault::kNone : RecordFault::kRemovalWithBytes;
  if (record.method == METHOD_STORED) {
    if (record.stored_size != record.size) return RecordFault::kStoredSizeMismatch;
  } else if (record.size == 0) {
    // The decoder cannot be asked for an empty piece; empty files are stored.
    return RecordFault::kEmptyCompressed;
  }
  return RecordFault::kNone;
}

const char* record_fault_text(RecordFault fault) {
  switch (fault) {
    case RecordFault::kNone: return "no fault";
    case RecordFault::kUnterminatedPath: return "path not terminated within the record header";
    case RecordFault::kUnsafePath: return "path leads out of the installation directory";
    case RecordFault::kEmptyCompressed: return "compressed record of size 0";
    case RecordFault::kStoredSizeMismatch: return "stored record whose stored size differs from its size";
    case RecordFault::kRemovalWithBytes: return "removal record with stored bytes";
  }
  return "unknown fault";
}

}  // namespace telo
