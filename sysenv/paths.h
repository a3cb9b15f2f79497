#pragma once

namespace telo {

// Joins the first `count` arguments, skipping null ones, into a malloc'd
// text (the caller frees it with free). Null only when memory runs out.
char* concat_strings(int count, ...);

// -1 when the path cannot be examined, 1 for a directory (links followed), 0 otherwise.
int is_directory(const char* path);

// Creates every missing directory along `path` (mode 0755). 1 on success, 0 on failure.
// The path is cut temporarily at each component, so it must be writable.
int make_directory_path(char* path);

// 1 when the text is non-empty and ends in '/', else 0.
int ends_with_slash(const char* text);

// `directory` itself when it is a whole element of $PATH, else null.
const char* find_in_path(const char* directory);

// 1 when an earlier installation's directory was read from the launcher
// stub and copied into slot 0 of install_targets, else 0.
int read_previous_install_dir();

// The same, reading the stub at `stub_file` (for tests).
int read_previous_install_dir_from(const char* stub_file);

}  // namespace telo
