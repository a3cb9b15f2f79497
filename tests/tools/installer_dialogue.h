#pragma once

// Runs a real installer through its dialogue up to the end of extraction,
// answering each prompt as it appears. The steps after extraction change the
// host (package tool, launcher stub, desktop entries), so the first prompt
// after the files are written, or any prompt not expected here, is answered
// with Cancel and the installer ends there.

#include <string>

namespace telo::testing {

struct DialogueResult {
  int exit_status = -1;
  bool timed_out = false;
  bool extracted = false;          // a prompt came after extraction
  std::string stderr_text;
  std::string answers;             // every answer typed, in order
};

// Runs `installer -TELO directory` (without -autonext).
DialogueResult install_by_dialogue(const std::string& installer, const std::string& directory);

}  // namespace telo::testing
