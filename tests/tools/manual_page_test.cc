// The manual pages say what --help says: each command's synopsis and
// options, and the installer's options as the README lists them; the pages
// render without a warning.

#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/help_text.h"
#include "tests/tools/pack_fixture.h"

namespace telo::testing {
namespace {

std::string page_source(const std::string& name) {
  return read_file(std::string(TELO_SOURCE_DIR) + "/doc/" + name + ".1.scd");
}

// The lines of `text` below the heading `heading` ("## build"), up to the
// next heading of its level or a higher one.
std::vector<std::string> section(const std::string& text, const std::string& heading) {
  const std::size_t level = heading.find(' ');
  std::vector<std::string> lines;
  bool inside = false;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("#")) {
      if (line == heading) {
        inside = true;
        continue;
      }
      if (line.find_first_not_of('#') <= level) inside = false;
    }
    if (inside) lines.push_back(line);
  }
  return lines;
}

// The options a section explains: "*--jobs* _N_" starts a line.
std::set<std::string> options_in(const std::vector<std::string>& lines) {
  static const std::regex option(R"(^\*(-[A-Za-z0-9-]+)\*)");
  std::set<std::string> found;
  std::smatch match;
  for (const std::string& line : lines)
    if (std::regex_search(line, match, option)) found.insert(match[1]);
  return found;
}

std::string plain(std::string line) {
  std::erase(line, '*');
  std::erase(line, '_');
  return line;
}

TEST(ManualPages, EachCommandsOptionsAreTheOnesItsHelpExplains) {
  const std::string source = page_source("telo-pack");
  for (const CommandHelp& command : pack_help()) {
    SCOPED_TRACE(command.name);
    EXPECT_EQ(options_in(section(source, "## " + command.name)), command.options);
  }
}

TEST(ManualPages, TheSynopsisIsTheHelpsUsageLines) {
  std::set<std::string> synopsis;
  for (const std::string& line : section(page_source("telo-pack"), "# SYNOPSIS"))
    if (!line.empty()) synopsis.insert(plain(line));
  std::set<std::string> usage = {"telo-pack COMMAND --help"};
  for (const CommandHelp& command : pack_help()) usage.insert("telo-pack " + command.name + " " + command.usage);
  EXPECT_EQ(synopsis, usage);
}

// The installer answers no --help: its options are the README's table.
TEST(ManualPages, TheInstallersOptionsAreTheReadmes) {
  const std::vector<std::string> table = section(read_file(std::string(TELO_SOURCE_DIR) + "/README.md"),
                                                 "## Options of the installer");
  static const std::regex row(R"(^\| `(-[A-Za-z]+))");
  std::set<std::string> readme;
  std::smatch match;
  for (const std::string& line : table)
    if (std::regex_search(line, match, row)) readme.insert(match[1]);
  EXPECT_EQ(readme.size(), 3u);
  EXPECT_EQ(options_in(section(page_source("telo-installer"), "# OPTIONS")), readme);
}

// The pages the build made, or the packaged ones.
TEST(ManualPages, RenderWithoutAWarning) {
  for (const std::string name : {"telo-pack", "telo-installer"}) {
    SCOPED_TRACE(name);
    const std::string root = packaged_root();
    const std::string page = root.empty() ? std::string(TELO_BINARY_DIR) + "/doc/" + name + ".1"
                                          : root + "/usr/share/man/man1/" + name + ".1.gz";
    if (::access(page.c_str(), R_OK) != 0) GTEST_SKIP() << page << " was not made (scdoc is not installed)";
    RunOptions options;
    options.env = {"MANWIDTH=80"};
    RunResult shown = run_program({"/usr/bin/man", "--warnings", "-l", page}, options);
    EXPECT_EQ(shown.exit_status, 0);
    EXPECT_EQ(shown.stderr_text, "");
    EXPECT_NE(shown.stdout_text.find("EXIT STATUS"), std::string::npos) << shown.stdout_text;
  }
}

}  // namespace
}  // namespace telo::testing
