#include "tests/support/target_program.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string_view>

#include "pack/program_arch.h"

namespace telo::testing {

namespace {

std::vector<std::string> split_words(const std::string& text) {
  std::istringstream words(text);
  std::vector<std::string> split;
  for (std::string word; words >> word;) split.push_back(word);
  return split;
}

// Whether i386 programs need qemu here. TELO_EMULATE_I386 says so when set;
// else the kernel decides, asked with the test command's tiny i386 program
// (none there: the host is taken to run them).
bool i386_needs_emulator() {
  static const bool needed = [] {
    if (const char* told = std::getenv("TELO_EMULATE_I386")) return std::string_view(told) == "1";
    const std::string probe = std::string(TELO_BINARY_DIR) + "/i386-probe";
    if (::access(probe.c_str(), X_OK) != 0) return false;
    char* argv[] = {const_cast<char*>(probe.c_str()), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, probe.c_str(), nullptr, nullptr, argv, environ) != 0) return true;
    int status = 0;
    ::waitpid(child, &status, 0);
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }();
  return needed;
}

}  // namespace

std::vector<std::string> emulator_for(const std::string& arch) {
  // A cross build's own target: the emulator CMake runs its tests with.
  if (arch == TELO_ARCH) return split_words(TELO_TARGET_EMULATOR);
  // -L: the loader and C library of the Debian cross toolchain.
  if (arch == "armhf") return {"/usr/bin/qemu-arm-static", "-L", "/usr/arm-linux-gnueabihf"};
  if (arch == "aarch64") return {"/usr/bin/qemu-aarch64-static", "-L", "/usr/aarch64-linux-gnu"};
  // Some x86-64 kernels refuse 32-bit programs.
  if (arch == "i386" && i386_needs_emulator())
    return {"/usr/bin/qemu-i386-static"};  // with the host's libc6-i386, as natively
  return {};
}

bool needs_target_emulator(const std::string& path) { return !emulator_for(program_arch_of(path)).empty(); }

std::vector<std::string> target_command(const std::string& path, const std::vector<std::string>& argv) {
  std::vector<std::string> words = emulator_for(program_arch_of(path));
  if (words.empty()) return argv;
  words.push_back("-0");
  words.push_back(argv.empty() ? path : argv[0]);
  words.push_back(path);
  if (!argv.empty()) words.insert(words.end(), argv.begin() + 1, argv.end());
  return words;
}

std::string sandbox_machine() { return TELO_SANDBOX_MACHINE; }

}  // namespace telo::testing
