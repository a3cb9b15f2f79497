// Bash completion of telo-pack, run through bash-completion as a shell
// would: commands, each command's options as its --help lists them, and
// the values of --level and --arch.

#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tests/tools/help_text.h"
#include "tests/tools/pack_fixture.h"

namespace telo::testing {
namespace {

constexpr const char* kBashCompletion = "/usr/share/bash-completion/bash_completion";

std::string completion_file() {
  const std::string root = packaged_root();
  return root.empty() ? std::string(TELO_SOURCE_DIR) + "/completion/telo-pack"
                      : root + "/usr/share/bash-completion/completions/telo-pack";
}

// What completing the last of `words` offers, the cursor at the line's end.
std::set<std::string> complete(const std::vector<std::string>& words) {
  static const char* kDriver =
      "source \"$0\" && source \"$1\" && shift\n"
      "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMP_LINE=\"$*\"; COMP_POINT=${#COMP_LINE}\n"
      "_telo_pack telo-pack \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD - 1]}\"\n"
      "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
  std::vector<std::string> argv = {"/bin/bash", "-c", kDriver, kBashCompletion, completion_file()};
  argv.insert(argv.end(), words.begin(), words.end());
  RunResult result = run_program(argv);
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
  std::set<std::string> offered;
  std::istringstream lines(result.stdout_text);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) offered.insert(line);
  return offered;
}

class Completion : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kBashCompletion, R_OK) != 0) GTEST_SKIP() << "bash-completion is not installed";
  }
};

TEST_F(Completion, CompletesCommandsAndTheValuesOfLevelAndArch) {
  struct Case {
    std::vector<std::string> words;
    std::set<std::string> offered;
  };
  const Case kCases[] = {
      {{"telo-pack", ""},
       {"build", "list", "verify", "keygen", "sign", "extract", "compress", "decompress", "--help"}},
      {{"telo-pack", "ve"}, {"verify"}},
      {{"telo-pack", "build", "--level", ""}, {"fast", "reference", "best"}},
      {{"telo-pack", "compress", "in", "--level", "b"}, {"best"}},
      {{"telo-pack", "build", "-o", "x.bin", "--arch", "a"}, {"armhf", "aarch64"}},
      {{"telo-pack", "list", "--j"}, {"--json"}},
      {{"telo-pack", "build", "--jobs", ""}, {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    EXPECT_EQ(complete(c.words), c.offered);
  }
}

// The commands the overview lists, each with the options its --help explains.
TEST_F(Completion, OffersWhatTheHelpLists) {
  std::set<std::string> commands = {"--help"};
  for (const CommandHelp& command : pack_help()) {
    SCOPED_TRACE(command.name);
    commands.insert(command.name);
    std::set<std::string> options = command.options;
    options.insert("--help");
    EXPECT_EQ(complete({"telo-pack", command.name, "-"}), options);
  }
  EXPECT_EQ(complete({"telo-pack", ""}), commands);
}

}  // namespace
}  // namespace telo::testing
