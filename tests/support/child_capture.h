#pragma once

// Runs a piece of the installer in a forked child, as the program would run
// it: standard input from a text, standard error captured. Functions that
// terminate the installer can be tested this way too.

#include <functional>
#include <string>

namespace telo::testing {

struct ChildResult {
  int exit_status = -1;      // -1 when the child was killed by a signal
  int returned = 0;          // the body's result, when it returned
  std::string stderr_text;
};

// The child runs body(); its return value becomes `returned` (exit status 0).
ChildResult run_in_child(const std::function<int()>& body, const std::string& stdin_text = "");

}  // namespace telo::testing
