#pragma once

// Starting installers built for any of the architectures. A cross build's
// tests run under a user-mode emulator, and so must the installers they
// start; the native build's tests start the ARM builds' installers under
// qemu too. Host programs (unshare, sh, the stand-ins) run as they are.

#include <string>
#include <vector>

namespace telo::testing {

// The words put in front of a program for `arch` ("armhf", ...): none for
// the x86 kinds, which the x86-64 build host runs itself, unless this
// host's kernel refuses i386 programs (TELO_EMULATE_I386=1, or the test
// command's build/i386-probe refused).
std::vector<std::string> emulator_for(const std::string& arch);

// True when `path` is an ELF program this host runs only under an emulator.
bool needs_target_emulator(const std::string& path);

// The words that run `path` as `argv` would run it natively: unchanged, or
// the emulator's command with argv[0] passed through (-0) and the path.
std::vector<std::string> target_command(const std::string& path, const std::vector<std::string>& argv);

// The machine type the sandbox's uname reports by default: one of the
// target's kind ("i686" for x86 builds, "armv7l", "aarch64").
std::string sandbox_machine();

}  // namespace telo::testing
