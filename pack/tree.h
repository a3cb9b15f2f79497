#pragma once

// The packer's view of its input: the files of one or two directory trees,
// in the fixed order they are written, and the removal records.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>


namespace telo {

// A tree being packed, held open for the whole build: its files are opened
// relative to it, so that no path the host's calls take grows with the tree's
// depth, and a tree renamed during the build is still the one scanned.
struct PackTreeRoot {
  int fd = -1;
  PackTreeRoot() = default;
  ~PackTreeRoot();
  PackTreeRoot(const PackTreeRoot&) = delete;
  PackTreeRoot& operator=(const PackTreeRoot&) = delete;
};

// What tells one version of a file from another: a rewrite in place moves
// st_ctime even when its size and modification time are put back.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_sec = 0, mtime_nsec = 0;
  std::int64_t ctime_sec = 0, ctime_nsec = 0;
  bool operator==(const FileStamp&) const = default;
};

// One record to be packed: a file read from its tree, or a removal.
struct PackEntry {
  std::string source;        // the file's path as shown in messages (empty for a removal)
  std::shared_ptr<const PackTreeRoot> tree;  // the tree it was found in
  std::string tree_path;     // its path below that tree
  std::string rel_path;      // path below the installation directory
  std::uint64_t size = 0;
  std::uint32_t mtime = 0;
  FileStamp seen;            // as the scan saw it (through a link: the file linked to)
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

// Opens the entry's file for reading relative to its tree, through
// directories that are not links (as the scan found them). -1 with errno set.
int open_pack_entry(const PackEntry& entry);

FileStamp file_stamp(const struct stat& info);

// A removal record for `rel_path`, which must be a plain relative path.
// False (with a message) when it is not.
bool add_removal(std::string_view rel_path, std::vector<PackEntry>& entries);

// Checks what the header's 32-bit fields must hold and that no path is
// packed twice. Reports the first problem and returns false.
bool check_pack_entries(const std::vector<PackEntry>& entries);

}  // namespace telo
