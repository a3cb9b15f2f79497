#pragma once

// Starting programs built for the tests' own target. A cross build's tests
// run under a user-mode emulator, and so must the installers they start;
// host programs (unshare, sh, the stand-ins) run as they are.

#include <string>
#include <vector>

namespace telo::testing {

// True when `path` is an ELF program for the target and the tests run
// under an emulator (a native build never needs one).
bool needs_target_emulator(const std::string& path);

// The words that run `path` as `argv` would run it natively: unchanged, or
// the emulator's command with argv[0] passed through (-0) and the path.
std::vector<std::string> target_command(const std::string& path, const std::vector<std::string>& argv);

// The machine type the sandbox's uname reports by default: one of the
// target's kind ("i686" for x86 builds, "armv7l", "aarch64").
std::string sandbox_machine();

}  // namespace telo::testing
