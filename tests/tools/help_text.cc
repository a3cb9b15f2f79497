#include "tests/tools/help_text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/pack_fixture.h"

namespace telo::testing {

namespace {

// Options stand first on their line, indented by two: "  --jobs N   ...".
std::set<std::string> options_of(const std::string& help) {
  std::set<std::string> options;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  -")) continue;
    options.insert(line.substr(2, line.find(' ', 2) - 2));
  }
  return options;
}

}  // namespace

std::vector<CommandHelp> pack_help() {
  RunResult overview = run_pack({"--help"});
  EXPECT_EQ(overview.exit_status, 0);
  std::vector<CommandHelp> commands;
  std::istringstream lines(overview.stdout_text);
  const std::string lead = "  telo-pack ";
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(lead)) continue;
    const std::string rest = line.substr(lead.size());
    const std::size_t space = rest.find(' ');
    CommandHelp command{rest.substr(0, space), space == std::string::npos ? "" : rest.substr(space + 1), {}};
    RunResult help = run_pack({command.name, "--help"});
    EXPECT_EQ(help.exit_status, 0) << command.name;
    command.options = options_of(help.stdout_text);
    commands.push_back(std::move(command));
  }
  EXPECT_GE(commands.size(), 2u) << overview.stdout_text;
  return commands;
}

}  // namespace telo::testing
