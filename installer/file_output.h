#pragma once

// Writing one extracted file so that it replaces what stood at its path only
// once it is whole. The contents go to a file without a name (O_TMPFILE)
// or, where the file system lacks those, to a temporary one beside the
// target under a name no one else holds; only after every check has passed
// and the write is complete does it take the target's name, in one rename.
// A failed or interrupted installation leaves the earlier file (or none),
// never an empty or half one, and no temporary of its own.
//
// Where the directory cannot take a new entry (a user updating a file they
// may write in a folder they may not), the contents wait in memory and are
// copied over the old file once whole, as writing it in place would do. The
// super-user does so only for a file without other links: one planted there
// could be any file of the system.
//
// What stands at the path is checked first, as opening it for writing would:
// a directory, a symbolic link (never written through: the caller follows
// the links it trusts), a device or FIFO, or a file we may not write are
// refused.

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

namespace telo {

// The file being written; an uncommitted one is discarded at scope end.
struct OutputFile {
  int fd = -1;              // where the contents go
  int parent = -1;          // the directory it goes into
  bool owns_parent = true;  // `parent` is closed with the file
  std::string name;         // its final name in `parent`
  std::string temp_name;    // the temporary name, while it has one of ours
  bool replaces = false;    // a regular file stands at `name`
  int old_file = -1;        // that file (O_PATH), owned
  int in_place = -1;        // that file opened for writing, when it is rewritten in place
  uid_t old_owner = 0;
  gid_t old_group = 0;
  mode_t old_mode = 0;
  nlink_t old_links = 0;
  bool set_times = false;   // in place: time and mode to set once the contents are copied
  std::uint32_t mtime = 0;
  std::uint16_t mode = 0;

  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
};

// Starts a file that is to take `name` in the directory `parent` (an O_PATH
// or ordinary directory descriptor, which `file` takes over). False, with
// errno set, when the target or the new file cannot be had: EISDIR for a
// directory (or a name that is empty, "." or ".."), ELOOP for a symbolic
// link, EEXIST for anything else that is not a regular file. A file it
// replaces keeps its owner and its access ACL.
bool open_output_file(int parent, const std::string& name, OutputFile* file);

// Where the name's state is known or the directory is kept elsewhere.
enum class ParentHold { kTaken, kBorrowed };  // `file` closes `parent`, or leaves it open
enum class TargetState { kUnknown, kFree };   // looked at first, or known to be free
bool open_output_file(int parent, const std::string& name, OutputFile* file, ParentHold hold,
                      TargetState target);

// Writes all of `data`, continuing after partial writes. False, with errno
// set by the failing call, when it comes short.
bool write_output_file(OutputFile* file, std::span<const std::uint8_t> data);

// The next write goes to the start of the file again, over what was
// written: its contents start over. False, with errno set, when it cannot.
bool rewind_output_file(OutputFile* file);

// Sets the access and modification times to `mtime` and the permission bits
// from `mode` (an st_mode value). Failures are ignored, as with utime and
// chmod on the path.
void restore_time_and_mode(OutputFile* file, std::uint32_t mtime, std::uint16_t mode);

// Gives the file its name, replacing the target. A replaced file keeps its
// permissions when the record set none (`keep_mode`). A file that replaces
// nothing is linked under its name at once; only when something took the
// name meanwhile does it go through a temporary name and a rename.
// False, with errno set, when it cannot be put in place.
bool commit_output_file(OutputFile* file, bool keep_mode);

// Closes and discards a file not committed (removing a temporary of ours),
// and makes `file` ready for the next one.
void discard_output_file(OutputFile* file);

// The temporary name numbered `serial` for a file that is to be called
// `name`. A name someone already holds is never touched: the next serial is
// tried instead.
std::string temporary_name(const std::string& name, std::uint64_t serial);

// The serial the next temporary name takes; it starts at a random value, so
// that others cannot guess the names a run will use.
extern std::uint64_t next_temporary_serial;

// From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT first remove the named
// temporary being written (if any), then end the process as they would.
void remove_temporaries_on_signals();

// Tests set this to write through a named temporary file where O_TMPFILE
// would serve.
extern bool output_without_tmpfile;

}  // namespace telo
