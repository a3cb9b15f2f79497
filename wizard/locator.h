#pragma once

// The installer's own file and the payload appended to it.

#include <cstdio>

#include "payload/locate.h"
#include "payload/record_reader.h"

namespace telo {

// Opens the installer's own file for reading: `argv0` when it names a path
// with a directory part, else the kernel's link to the running program
// (a bare name, started through a search of PATH, names no file we can
// trust in the current directory). Null when it cannot be opened.
std::FILE* open_own_file(const char* argv0);

// Finds and checks the payload header in `file` and leaves the file just
// after it; `records` is then where the first record starts.
HeaderFault locate_payload(std::FILE* file, PayloadHeader* header, PayloadSource* records);

}  // namespace telo
