#pragma once

// What telo-pack's --help says, taken apart for the tests that keep the
// manual page and the shell completion in step with it.

#include <set>
#include <string>
#include <vector>

namespace telo::testing {

struct CommandHelp {
  std::string name;
  std::string usage;              // the arguments after the name, as the overview shows them
  std::set<std::string> options;  // every option the command's --help explains
};

// Every command of `telo-pack --help`, with its own --help's options.
std::vector<CommandHelp> pack_help();

}  // namespace telo::testing
