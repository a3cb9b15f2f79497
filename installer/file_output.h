#pragma once

// Writing one extracted file: created (0666 less the umask) or truncated the
// way fopen "wb" would, but never through a symbolic link at its path, since
// shared folders below the installation directory are writable by every user
// and an installation usually runs as the super-user.

#include <cstdint>
#include <span>

namespace telo {

// Owns the descriptor of a file being written; closes it at scope end.
struct OutputFile {
  int fd = -1;

  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
};

// Opens `path` for writing. False, with errno set, when it cannot be opened;
// a symbolic link at `path` fails with ELOOP.
bool open_output_file(const char* path, OutputFile* file);

// Writes all of `data`, continuing after partial writes. False, with errno
// set by the failing call, when it comes short.
bool write_output_file(OutputFile* file, std::span<const std::uint8_t> data);

// Sets the access and modification times to `mtime` and the permission bits
// from `mode` (an st_mode value), on the open file itself so that nothing
// swapped in at its path is touched. Failures are ignored, as with utime and
// chmod on the path.
void restore_time_and_mode(OutputFile* file, std::uint32_t mtime, std::uint16_t mode);

// Closes the file. False, with errno set, when the close reports an error.
bool close_output_file(OutputFile* file);

}  // namespace telo
