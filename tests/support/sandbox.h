#pragma once

// Runs the real installer inside a private mount namespace that stands in
// for the host: the system directories it writes are bind mounts of test
// folders, and the programs it starts are recording stand-ins laid over
// /usr/bin (which /bin links to). Needs root, as the whole-program tests do.

#include <string>
#include <utility>
#include <vector>

#include "tests/support/run_program.h"

namespace telo::testing {

struct SandboxOptions {
  // A test folder; its subfolders usr-local-bin, applications, root and home
  // (created when missing) are mounted over /usr/local/bin,
  // /usr/share/applications, /root and /home. calls.log records the stand-ins.
  std::string root;
  std::string machine = "x86_64";  // what uname -m and arch print; "" leaves the real ones
  bool xterm = true;               // whether /usr/bin/xterm exists
  std::string login_name;          // what logname prints; "" makes it fail
  int apt_get_status = 100;        // exit status of the apt-get stand-in
  bool sudo = true;                // whether /usr/bin/sudo is a recording stand-in that runs its command
  // Further files laid over their folders: absolute path, contents (mode 0755).
  std::vector<std::pair<std::string, std::string>> extra_files;
};

// Runs `installer` (as its own argv[0]) with the arguments `args` in the sandbox.
RunResult run_in_sandbox(const std::string& installer, const std::vector<std::string>& args,
                         const SandboxOptions& box, const RunOptions& options = {});

// The stand-ins' record: one line per call, "name arg1 arg2 ...".
std::string sandbox_calls(const SandboxOptions& box);

}  // namespace telo::testing
