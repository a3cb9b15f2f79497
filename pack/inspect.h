#pragma once

// What release engineers ask of a built installer: what it carries, and
// whether every byte of its payload is intact.

#include <string>

namespace telo {

// Prints the header and one line per record on standard output.
// Returns 0, or 1 after reporting a fault on standard error.
int list_installer(const std::string& path);

// Checks every CRC, decodes every compressed record and checks the header's
// counts and totals against the records, writing nothing. Returns 0, or 1
// after naming the first fault (with its record) on standard error.
int verify_installer(const std::string& path);

}  // namespace telo
