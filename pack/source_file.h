#pragma once

// A file being packed, read through one descriptor from its first byte to
// its last: every piece comes from the same file, and the file is checked
// against what the scan saw before the first read and after the last. A
// path reopened for each piece could meet another file each time, and a
// rewrite in place whose size and modification time were put back (`touch
// -r`, `cp -p`, `rsync --inplace -t`) would go unseen; its st_ctime moves.

#include <cstdint>

#include "pack/tree.h"

namespace telo {

struct SourceFile {
  int fd = -1;
  int error = 0;         // errno of a failed open
  bool changed = false;  // not the file the scan saw
};

// Opens the entry's file and compares it with what the scan saw; sets
// `error` or `changed` (with no descriptor kept) when it cannot be read as that.
void open_source_file(const PackEntry& entry, SourceFile* file);

// True while the open file is still the version the scan saw.
bool source_file_unchanged(const PackEntry& entry, const SourceFile& file);

void close_source_file(SourceFile* file);

// For tests: when set, called after each read from a file being packed,
// with the offset the read began at.
extern void (*source_read_hook)(const PackEntry& entry, std::uint64_t offset);

}  // namespace telo
