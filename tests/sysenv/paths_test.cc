#include "sysenv/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;
using testing::write_file;

std::string take(char* text) {
  std::string copy = text;
  std::free(text);
  return copy;
}

TEST(ConcatStrings, JoinsTheNonNullArguments) {
  EXPECT_EQ(take(concat_strings(3, "a", nullptr, "b")), "ab");
  EXPECT_EQ(take(concat_strings(0)), "");
  EXPECT_EQ(take(concat_strings(2, nullptr, nullptr)), "");
  EXPECT_EQ(take(concat_strings(4, "/usr", "/", "", "bin")), "/usr/bin");
  // Only the first `count` arguments are joined.
  EXPECT_EQ(take(concat_strings(1, "one", "two")), "one");
}

TEST(IsDirectory, FollowsLinksAndReportsMissingPaths) {
  ScopedTempDir dir;
  write_file(dir / "file", "x");
  mkdir((dir / "sub").c_str(), 0755);
  ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "to_sub").c_str()), 0);
  ASSERT_EQ(symlink((dir / "file").c_str(), (dir / "to_file").c_str()), 0);
  ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
  EXPECT_EQ(is_directory(dir.path.c_str()), 1);
  EXPECT_EQ(is_directory((dir / "sub").c_str()), 1);
  EXPECT_EQ(is_directory((dir / "to_sub").c_str()), 1);
  EXPECT_EQ(is_directory((dir / "file").c_str()), 0);
  EXPECT_EQ(is_directory((dir / "to_file").c_str()), 0);
  EXPECT_EQ(is_directory((dir / "missing").c_str()), -1);
  EXPECT_EQ(is_directory((dir / "dangling").c_str()), -1);
  EXPECT_EQ(is_directory((dir / "file/below").c_str()), -1);
}

TEST(EndsWithSlash, LooksAtTheLastCharacter) {
  struct Case {
    const char* text;
    int expected;
  };
  constexpr Case kCases[] = {{"", 0}, {"/", 1}, {"a/", 1}, {"a", 0}, {"/a", 0}, {"a//", 1}};
  for (const Case& c : kCases) EXPECT_EQ(ends_with_slash(c.text), c.expected) << c.text;
}

// Sets PATH for one test and puts the old value back.
struct ScopedPath {
  explicit ScopedPath(const char* value) {
    if (const char* old = std::getenv("PATH")) saved = old;
    if (value) setenv("PATH", value, 1);
    else unsetenv("PATH");
  }
  ~ScopedPath() {
    if (saved) setenv("PATH", saved->c_str(), 1);
    else unsetenv("PATH");
  }
  std::optional<std::string> saved;
};

TEST(FindInPath, MatchesOnlyWholeElements) {
  struct Case {
    const char* path;
    bool found;
  };
  constexpr Case kCases[] = {
      {"/usr/bin:/usr/local/bin", true},
      {"/usr/local/bin", true},
      {"/usr/local/bin:/bin", true},
      {"/bin:/usr/local/bin:/usr/bin", true},
      {"/usr/local/bin2:/bin", false},
      {"/usr/local/bin/:/bin", false},
      {"/opt/usr/local/bin:/bin", false},
      {"/usr/local/bin2:/usr/local/bin", true},  // a later occurrence still counts
      {"/USR/LOCAL/BIN", false},
      {"", false},
      {nullptr, false},
  };
  const char* directory = "/usr/local/bin";
  for (const Case& c : kCases) {
    ScopedPath scoped(c.path);
    const char* found = find_in_path(directory);
    EXPECT_EQ(found, c.found ? directory : nullptr) << (c.path ? c.path : "(unset)");
  }
}

struct StubCase {
  const char* name;
  std::string contents;
  int expected_found;
  std::string expected_slot0;
};

std::vector<StubCase> stub_cases() {
  std::string longest = "/" + std::string(4094, 'd');  // 4095 characters
  return {
      {"classic", "#!/bin/sh\nexec /usr/local/telo/telolnx $*\n", 1, "/usr/local/telo"},
      {"quoted args", "#!/bin/sh\nexec /opt/telo/telolnx \"$@\"\n", 1, "/opt/telo"},
      {"no program", "exec /opt/telo\n", 1, "/opt/telo"},
      {"blanks and tabs", "  cd /; exec \t /srv/t/telolnx\n", 1, "/srv/t"},
      {"no newline at end", "exec /opt/telo/telolnx", 1, "/opt/telo"},
      {"not at the end", "exec /a/telolnx/b/telolnx $*\n", 1, "/a/telolnx/b/telolnx"},
      {"suffix", "exec /a/telolnx2\n", 1, "/a/telolnx2"},
      {"relative", "exec telolnx\n", 0, "/preset"},
      {"one character", "exec /\n", 0, "/preset"},
      {"only the program", "exec /telolnx\n", 0, "/preset"},
      {"tab after exec", "exec\t/opt/telo/telolnx\n", 0, "/preset"},
      {"no exec", "#!/bin/sh\n/opt/telo/telolnx\n", 0, "/preset"},
      {"empty", "", 0, "/preset"},
      {"last wins", "exec /first/telolnx\nexec /second/telolnx\n", 1, "/second"},
      {"ignored after accepted", "exec /first/telolnx\nexec telolnx\n", 1, "/first"},
      {"longest", "exec " + longest + "/telolnx\n", 1, longest},
      {"too long", "exec " + longest + "d\n", 0, "/preset"},
      // A line longer than 5118 characters is read in pieces, each a line of its own.
      {"exec in second piece", std::string(5118, '#') + "exec /piece/telolnx\n", 1, "/piece"},
      {"token cut by piece", std::string(5110, '#') + "exec /abcdefghij\n", 1, "/ab"},
      {"exec cut by piece", std::string(5116, '#') + "exec /split\n", 0, "/preset"},
  };
}

TEST(ReadPreviousInstallDir, TakesTheLastAcceptedExecLine) {
  ScopedTempDir dir;
  for (const StubCase& c : stub_cases()) {
    std::string stub = dir / "telo";
    write_file(stub, c.contents);
    char directory[kPathBufferSize] = "/preset";
    EXPECT_EQ(read_previous_install_dir_from(stub.c_str(), directory), c.expected_found) << c.name;
    EXPECT_EQ(std::string(directory), c.expected_slot0) << c.name;
  }
}

TEST(ReadPreviousInstallDir, MissingStubFindsNothing) {
  ScopedTempDir dir;
  char directory[kPathBufferSize] = "/preset";
  EXPECT_EQ(read_previous_install_dir_from((dir / "absent").c_str(), directory), 0);
  EXPECT_EQ(std::string(directory), "/preset");
}

}  // namespace
}  // namespace telo
