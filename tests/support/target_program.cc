#include "tests/support/target_program.h"

#include <sstream>

#include "pack/program_arch.h"

namespace telo::testing {

namespace {

std::vector<std::string> emulator_words() {
  std::istringstream words(TELO_TARGET_EMULATOR);
  std::vector<std::string> split;
  for (std::string word; words >> word;) split.push_back(word);
  return split;
}

}  // namespace

bool needs_target_emulator(const std::string& path) {
  return !emulator_words().empty() && program_arch_of(path) == TELO_ARCH;
}

std::vector<std::string> target_command(const std::string& path, const std::vector<std::string>& argv) {
  if (!needs_target_emulator(path)) return argv;
  std::vector<std::string> words = emulator_words();
  words.push_back("-0");
  words.push_back(argv.empty() ? path : argv[0]);
  words.push_back(path);
  if (!argv.empty()) words.insert(words.end(), argv.begin() + 1, argv.end());
  return words;
}

std::string sandbox_machine() { return TELO_SANDBOX_MACHINE; }

}  // namespace telo::testing
