#pragma once

// The packer's view of its input: the files of one or two directory trees,
// in the fixed order they are written, and the removal records.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telo {

// One record to be packed: a file read from `source`, or a removal.
struct PackEntry {
  std::string source;        // path of the file on this host (empty for a removal)
  std::string rel_path;      // path below the installation directory
  std::uint64_t size = 0;
  std::uint32_t mtime = 0;
  std::int64_t seen_mtime_sec = 0;   // the time the scan saw, to tell a change
  std::int64_t seen_mtime_nsec = 0;
  std::uint16_t mode = 0;    // st_mode form: regular-file type bits and permissions
  std::uint32_t slot = 0;
  bool remove = false;
};

// Adds every regular file below `root` to `entries`, named `prefix` + its
// path below root and sorted by that name. Symbolic links to files are
// followed. Refusals (a device, FIFO or socket, a dangling link, a link to a
// directory, a file of 4 GiB or more, a path too long for a record header)
// are reported on standard error naming the file; the result is then false.
// Empty directories cannot be represented and are reported as warnings.
bool scan_pack_tree(const std::string& root, std::string_view prefix, std::uint32_t slot,
                    std::vector<PackEntry>& entries);

// A removal record for `rel_path`, which must be a plain relative path.
// False (with a message) when it is not.
bool add_removal(std::string_view rel_path, std::vector<PackEntry>& entries);

// Checks what the header's 32-bit fields must hold and that no path is
// packed twice. Reports the first problem and returns false.
bool check_pack_entries(const std::vector<PackEntry>& entries);

}  // namespace telo
