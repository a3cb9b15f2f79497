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
// that writes its uid, parent pid, working directory, arguments and the
// SigIgn and SigBlk masks of its own process to
// out_dir()/marker and exits 7), program/telo20.png and `extra`.
std::string make_recording_installer(const HostSandbox& box, const std::vector<TestFile>& extra = {},
                                     const PayloadTexts& texts = {});

// What the recording application wrote; ran is false when it never started.
struct ApplicationRun {
  bool ran = false;
  unsigned uid = 0;
  long parent_pid = 0;
  std::string cwd;
  std::vector<std::string> args;
  unsigned long long ignored_signals = 0;  // bit n-1 stands for signal n
  unsigned long long blocked_signals = 0;
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

// Empty when `stub` passes "sh -n" and "shellcheck --severity=error", else their reports.
std::string stub_problems(const std::string& stub);

// Empty when desktop-file-validate finds no error in `entry` (warnings are
// allowed: the Encoding key is deprecated), else its report.
std::string desktop_entry_problems(const std::string& entry);

// The default ACL entries of a directory as getfacl lists them ("default:..." lines).
std::string default_acl(const std::string& directory);

}  // namespace telo::testing
