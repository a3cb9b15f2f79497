#pragma once

namespace telo {

// Extracts every record of the payload below slot 0 of install_targets.
// Returns RESULT_NEXT; every failure terminates the installation.
int extract_payload();

}  // namespace telo
