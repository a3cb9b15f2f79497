#include "pack/tree.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;
using testing::write_file;

TEST(PackTreeTest, FilesAreSortedByTheirWholePath) {
  ScopedTempDir temp;
  for (const char* path : {"b", "a/z", "a-b", "a/b/c", "A", "a.txt"}) {
    std::filesystem::path file = std::filesystem::path(temp.path) / "app" / path;
    std::filesystem::create_directories(file.parent_path());
    write_file(file.string(), path);
  }
  std::vector<PackEntry> entries;
  ASSERT_TRUE(scan_pack_tree(temp / "app", "jre/", 1, entries));
  std::vector<std::string> names;
  for (const PackEntry& entry : entries) {
    names.push_back(entry.rel_path);
    EXPECT_EQ(entry.slot, 1u);
    EXPECT_EQ(entry.mode & 0170000, 0100000);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"jre/A", "jre/a-b", "jre/a.txt", "jre/a/b/c", "jre/a/z", "jre/b"}));
}

TEST(PackTreeTest, RemovalsMustBePlainRelativePaths) {
  // The last: directories of 4096 bytes, longer than the installer opens.
  const std::string refused[] = {"", "/etc/passwd", "../x", "a/../b", "a//b", "./a", "a/", "a\\b",
                                 std::string(4095, 'd') + "/x"};
  for (const std::string& path : refused) {
    std::vector<PackEntry> entries;
    EXPECT_FALSE(add_removal(path, entries)) << path;
    EXPECT_TRUE(entries.empty());
  }
  std::vector<PackEntry> entries;
  EXPECT_TRUE(add_removal("old/lib/libx.so", entries));
  EXPECT_TRUE(add_removal(std::string(4094, 'd') + "/x", entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].remove);
}

}  // namespace
}  // namespace telo
