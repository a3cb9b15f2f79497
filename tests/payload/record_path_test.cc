#include "payload/record_path.h"

#include <gtest/gtest.h>

#include <utility>

namespace telo {
namespace {

TEST(DirectoryPart, EndsAtTheLastSlashOrBackslash) {
  const std::pair<const char*, const char*> cases[] = {
      {"file", ""}, {"a/b/file", "a/b"}, {"dir/", "dir"}, {"p\\q", "p"}, {"a/b\\c", "a/b"}, {"a\\b/c", "a\\b"}};
  for (const auto& [path, part] : cases) EXPECT_EQ(directory_part(path), part) << path;
}

// Only '/' cuts here: this is the file system's lookup, not the directories
// a record makes.
TEST(SplitLastComponent, CutsAtTheLastSlashAndKeepsIt) {
  struct Case {
    const char* path;
    const char* directories;
    const char* name;
    bool names_no_entry;
  } cases[] = {
      {"file", "", "file", false},   {"a/b/file", "a/b/", "file", false}, {"dir/", "dir/", "", true},
      {"", "", "", true},            {"/abs", "/", "abs", false},         {"p\\q", "", "p\\q", false},
      {"a//b", "a//", "b", false},   {"a/.", "a/", ".", true},            {"a/..", "a/", "..", true},
      {"a/...", "a/", "...", false}, {".", "", ".", true},
  };
  for (const Case& c : cases) {
    const PathSplit split = split_last_component(c.path);
    EXPECT_EQ(split.directories, c.directories) << c.path;
    EXPECT_EQ(split.name, c.name) << c.path;
    EXPECT_EQ(names_no_entry(split.name), c.names_no_entry) << c.path;
  }
}

}  // namespace
}  // namespace telo
