#pragma once

// Creating the directories a record's file goes into.

namespace telo {

// Creates every missing directory along `path` (mode 0755). 1 on success, 0
// on failure with errno set by the failing call. The path is cut
// temporarily at each component, so it must be writable.
int make_directory_path(char* path);

}  // namespace telo
