#pragma once

// Pieces shared by the whole-program tests of the steps that fit the
// application into the host: a payload whose application records how it was
// started, and the prompt lines the installer prints.

#include <string>
#include <vector>

#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"

namespace telo::testing {

// Builds an installer at box.dir/telo-installer carrying `telolnx` (a script
// that writes its uid, parent pid, working directory and arguments to
// out_dir()/marker and exits 7), program/telo20.png and `extra`. The same
// files are also laid into `install_dir` of the sandbox beforehand, owned by
// `owner` (unless `install_dir` is empty), so that the later steps find them
// whatever extraction does.
std::string make_recording_installer(const HostSandbox& box, const std::string& install_dir,
                                     const std::vector<TestFile>& extra = {},
                                     const PayloadTexts& texts = {}, unsigned owner = 0);

// What the recording application wrote; ran is false when it never started.
struct ApplicationRun {
  bool ran = false;
  unsigned uid = 0;
  long parent_pid = 0;
  std::string cwd;
  std::vector<std::string> args;
};
ApplicationRun read_application_run(const HostSandbox& box);

// A prompt line as the installer prints it: "\n", "question " when given, "[choices]: ".
std::string prompt_text(const char* question, const char* choices);

// The part of standard error after the "Files installed!" screen and its prompt
// (`interactive`: the prompt was printed). Empty when the screen is missing.
std::string text_after_files_installed(const std::string& stderr_text, bool interactive);

// The part of standard error printed between the end of extraction (or of
// the directory dialog's default offer) and the "Files installed!" screen.
std::string text_before_files_installed(const std::string& stderr_text);

}  // namespace telo::testing
