#pragma once

#include <cstddef>

namespace telo {

// Room for a path and its terminator, as the installer keeps them.
inline constexpr std::size_t kPathBufferSize = 4096;

// Joins the first `count` arguments, skipping null ones, into a malloc'd
// text (the caller frees it with free). Null only when memory runs out.
char* concat_strings(int count, ...);

// -1 when the path cannot be examined, 1 for a directory (links followed), 0 otherwise.
int is_directory(const char* path);

// 1 when the text is non-empty and ends in '/', else 0.
int ends_with_slash(const char* text);

// `directory` itself when it is a whole element of $PATH, else null.
const char* find_in_path(const char* directory);

// 1 when an earlier installation's directory was read from the launcher
// stub and copied into `directory`, else 0 (and `directory` is unchanged).
int read_previous_install_dir(char (&directory)[kPathBufferSize]);

// The same, reading the stub at `stub_file` (for tests).
int read_previous_install_dir_from(const char* stub_file, char (&directory)[kPathBufferSize]);

}  // namespace telo
