// telo-pack list: the header's texts and figures and one line per record.

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

// The record line that ends with "  path".
std::string line_for(const std::string& listing, const std::string& path) {
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line))
    if (line.size() > path.size() + 2 && line.compare(line.size() - path.size() - 2, std::string::npos, "  " + path) == 0)
      return line;
  return "";
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

TEST(PackListTest, ShowsTheHeaderAndEveryRecord) {
  ScopedTempDir temp;
  make_tree(temp / "app", sample_app_files());
  make_tree(temp / "runtime", sample_jre_files());
  RunResult built = run_pack({"build", "-o", temp / "setup.bin", temp / "app", "--jre", temp / "runtime",
                              "--remove", "old/file", "--product", "ACME", "--version", "V9.1", "--description",
                              "for tests", "--hardware-family", "frame grabbers", "--java-runtime", "jre1.6.0 04"},
                             {"SOURCE_DATE_EPOCH=1683063373"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;

  RunResult result = run_pack({"list", temp / "setup.bin"});
  ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
  const std::string& out = result.stdout_text;
  for (const char* expected : {"product:         ACME\n", "version:         V9.1\n", "description:     for tests\n",
                               "hardware family: frame grabbers\n", "java runtime:    jre1.6.0 04\n",
                               "build time:      2023-05-02 21:36:13 UTC (1683063373)\n",
                               "slot 0:          11 records,", "slot 1:          3 records,"})
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;

  EXPECT_EQ(words(line_for(out, "old/file"))[0], "remove");
  std::vector<std::string> empty = words(line_for(out, "empty.dat"));
  EXPECT_EQ(std::vector<std::string>(empty.begin(), empty.begin() + 5),
            (std::vector<std::string>{"stored", "0", "0", "-", "0100600"}));
  std::vector<std::string> random = words(line_for(out, "program/telo20.dat"));
  EXPECT_EQ(std::vector<std::string>(random.begin(), random.begin() + 5),
            (std::vector<std::string>{"stored", "50000", "50000", "100.0%", "0100644"}));
  std::vector<std::string> text = words(line_for(out, "program/window.txt"));
  ASSERT_GE(text.size(), 7u);
  EXPECT_EQ(text[0], "compressed");
  EXPECT_EQ(text[1], "8192");
  EXPECT_LT(std::stoul(text[2]), 8192u);
  EXPECT_EQ(text[4], "0100640");
  EXPECT_EQ(text[5] + " " + text[6], "2022-04-15 05:20:01");
  EXPECT_FALSE(line_for(out, "jre/lib/security/java.policy").empty()) << out;
}

// A name with control characters would break the listing or act on the
// terminal: it is shown quoted as ls shows it.
TEST(PackListTest, NamesWithControlCharactersAreQuotedAsLsQuotesThem) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"two\nlines.txt", "a"}, {"esc\x1b[31mred", "b"}, {"it's\tfine", "c"}, {"plain name", "d"},
                           {"csi\xc2\x9b" "2Jgone", "e"}, {"latin1 caf\xe9", "f"}});
  RunResult built = run_pack({"build", "-o", temp / "setup.bin", temp / "app"});
  ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  RunResult listed = run_pack({"list", temp / "setup.bin"});
  ASSERT_EQ(listed.exit_status, 0) << listed.stderr_text;
  for (const char* shown : {"'two'$'\\n''lines.txt'", "'esc'$'\\033''[31mred'", "'it'\\''s'$'\\t''fine'", "plain name",
                            "'csi'$'\\302\\233''2Jgone'", "'latin1 caf'$'\\351'"})
    EXPECT_NE(line_for(listed.stdout_text, shown), "") << shown << "\n" << listed.stdout_text;
  EXPECT_EQ(listed.stdout_text.find('\x1b'), std::string::npos);
  EXPECT_EQ(listed.stdout_text.find("\xc2\x9b"), std::string::npos);
  EXPECT_EQ(listed.stdout_text.find('\xe9'), std::string::npos);
}

}  // namespace
}  // namespace telo::testing
