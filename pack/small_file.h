#pragma once

// Whole small files: key and signature files, read with a bound on their
// size and written beside their final name, then renamed into place.

#include <cstddef>
#include <string>
#include <string_view>

namespace telo {

// False with `fault` set when the file cannot be read or passes `max_size`;
// `missing` (when given) tells a file that is not there from one that fails.
bool read_small_file(const std::string& path, std::size_t max_size, std::string* text, std::string* fault,
                     bool* missing = nullptr);

// Writes `text` to a temporary file beside `path` with `mode`, then renames
// it to `path`. Reports a failure on standard error.
bool write_small_file(const std::string& path, std::string_view text, unsigned mode);

}  // namespace telo
