#pragma once

// Writing one extracted file so that it replaces what stood at its path only
// once it is whole. The contents go to a file without a name (O_TMPFILE)
// or, where the file system lacks those, to a temporary one beside the
// target; only after every check has passed and the write is complete does
// it take the target's name, in one rename. A failed or interrupted
// installation leaves the earlier file (or none), never an empty or half one.
//
// What stands at the path is checked first, as opening it for writing would:
// a directory, a symbolic link (never written through: shared folders below
// the installation directory are writable by every user, and an installation
// usually runs as the super-user), a device or FIFO, or a file we may not
// write are refused.

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

namespace telo {

// The file being written; an uncommitted one is discarded at scope end.
struct OutputFile {
  int fd = -1;
  int parent = -1;          // the directory it goes into; owned
  std::string name;         // its final name in `parent`
  std::string temp_name;    // the temporary name, while it has one
  bool replaces = false;    // a regular file stands at `name`
  uid_t old_owner = 0;
  gid_t old_group = 0;
  mode_t old_mode = 0;

  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
};

// Starts a file that is to take `name` in the directory `parent` (an O_PATH
// or ordinary directory descriptor, which `file` takes over). False, with
// errno set, when the target or the new file cannot be had: EISDIR for a
// directory (or a name that is empty or "."), ELOOP for a symbolic link,
// EEXIST for anything else that is not a regular file. A file it replaces
// keeps its owner.
bool open_output_file(int parent, const std::string& name, OutputFile* file);

// Writes all of `data`, continuing after partial writes. False, with errno
// set by the failing call, when it comes short.
bool write_output_file(OutputFile* file, std::span<const std::uint8_t> data);

// Sets the access and modification times to `mtime` and the permission bits
// from `mode` (an st_mode value). Failures are ignored, as with utime and
// chmod on the path.
void restore_time_and_mode(OutputFile* file, std::uint32_t mtime, std::uint16_t mode);

// Gives the file its name, replacing the target. A replaced file keeps its
// permissions when the record set none (`keep_mode`).
// False, with errno set, when it cannot be put in place.
bool commit_output_file(OutputFile* file, bool keep_mode);

// Closes and discards a file not committed, and makes `file` ready for the
// next one.
void discard_output_file(OutputFile* file);

// The temporary name used for a file that is to be called `name`: the same
// on every run, so that a run cut short is tidied by the next.
std::string temporary_name(const std::string& name);

// Tests set this to write through a named temporary file where O_TMPFILE
// would serve.
extern bool output_without_tmpfile;

}  // namespace telo
