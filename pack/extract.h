#pragma once

// Writing an installer's files into a directory without running the wizard,
// for inspection: the records are checked and written as the installer
// writes them, with the same safety rules.

#include <string>

namespace telo {

// Extracts every record of `installer` below `directory` (created when
// missing). Returns 0, or 1 after reporting the first fault on standard error.
int extract_installer(const std::string& installer, const std::string& directory);

}  // namespace telo
