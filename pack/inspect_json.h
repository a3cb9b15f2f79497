#pragma once

// list and verify for programs: one JSON document on standard output, with
// stable snake_case names, for CI pipelines to read instead of the text.

#include <string>

namespace telo {

// The header, the installer program's architecture and every record.
// Returns 0, or 1 after reporting a fault on standard error (nothing is
// printed on standard output then).
int list_installer_json(const std::string& path);

// What list_installer_json prints, with "result" ("intact" or "damaged")
// and every fault found, each with its record (or null) and the check that
// failed. Unlike the text report it goes on past a fault wherever the
// records can still be followed. Returns 0 when intact, else 1.
int verify_installer_json(const std::string& path);

}  // namespace telo
