#pragma once

namespace telo {

// Asks for the installation directory and stores it in slots 0 to 2 of
// install_targets. Returns RESULT_NEXT or RESULT_CANCEL.
int select_install_directory();

}  // namespace telo
