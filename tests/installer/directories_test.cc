#include "installer/directories.h"

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;
using testing::write_file;

// -1 missing, 1 a directory, 0 something else.
int is_directory(const char* path) {
  struct stat info;
  if (::stat(path, &info) != 0) return -1;
  return S_ISDIR(info.st_mode) ? 1 : 0;
}

TEST(MakeDirectoryPath, CreatesEachMissingComponent) {
  ScopedTempDir dir;
  std::string path = dir / "x/y/";
  ASSERT_EQ(make_directory_path(path.data()), 1);
  EXPECT_EQ(path, dir / "x/y/");  // the cuts are put back
  EXPECT_EQ(is_directory((dir / "x").c_str()), 1);
  EXPECT_EQ(is_directory((dir / "x/y").c_str()), 1);
  struct stat info;
  ASSERT_EQ(stat((dir / "x/y").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777 & ~0755u, 0u);

  std::string again = dir / "x/y/z";  // partly there already, no trailing '/'
  EXPECT_EQ(make_directory_path(again.data()), 1);
  EXPECT_EQ(is_directory(again.c_str()), 1);
  std::string doubled = dir / "x//w";
  EXPECT_EQ(make_directory_path(doubled.data()), 1);
  EXPECT_EQ(is_directory((dir / "x/w").c_str()), 1);
}

TEST(MakeDirectoryPath, StopsAtAComponentThatIsAFile) {
  ScopedTempDir dir;
  mkdir((dir / "a").c_str(), 0755);
  write_file(dir / "a/file", "x");
  std::string path = dir / "a/file/b/c";
  EXPECT_EQ(make_directory_path(path.data()), 0);
  EXPECT_EQ(path, dir / "a/file/b/c");
  EXPECT_EQ(is_directory((dir / "a/file/b").c_str()), -1);

  // Components before the failing one (a name too long to create) stay created.
  std::string partial = dir / ("p/q/" + std::string(300, 'n') + "/r");
  EXPECT_EQ(make_directory_path(partial.data()), 0);
  EXPECT_EQ(is_directory((dir / "p/q").c_str()), 1);
}

// Two installers making the same new directories: whichever makes one
// first, the other finds it there, and both go on.
TEST(MakeDirectoryPath, AnotherProcessMakingTheSameDirectoryIsNoFailure) {
  ScopedTempDir dir;
  std::string deep;
  for (int i = 0; i < 24; ++i) deep.append("/d").append(std::to_string(i));  // GCC 12 warns on "literal" + string
  std::atomic<int> failures{0};
  for (int round = 0; round < 80; ++round) {
    std::string name("r");
    name.append(std::to_string(round)).append(deep);
    const std::string path = dir / name;
    std::atomic<int> ready{0};
    auto make = [&] {
      std::string mine = path;
      ++ready;
      while (ready.load() < 2) {
      }
      if (make_directory_path(mine.data()) != 1) ++failures;
    };
    std::thread other(make);
    make();
    other.join();
    EXPECT_EQ(is_directory(path.c_str()), 1);
  }
  EXPECT_EQ(failures.load(), 0);
}

TEST(MakeDirectoryPath, RootEmptyAndNullSucceedAtOnce) {
  std::string root = "/";
  EXPECT_EQ(make_directory_path(root.data()), 1);
  std::string empty;
  EXPECT_EQ(make_directory_path(empty.data()), 1);
  EXPECT_EQ(make_directory_path(nullptr), 1);
}

}  // namespace
}  // namespace telo
