#include "installer/beneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTempDir;

// The kernel's resolution and the walk by hand must agree on every case.
class BeneathTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    beneath_by_walking = GetParam();
    // root/ holds: a/b (directories), file, in -> a (inside), up -> ../outside,
    // abs -> an absolute path inside, loop -> loop, dangling -> missing,
    // a/back -> ../a/b (inside, through ".."); outside/ lies beside root.
    fs::create_directories(dir / "root/a/b");
    fs::create_directories(dir / "outside");
    testing::write_file(dir / "root/file", "x");
    fs::create_directory_symlink("a", dir / "root/in");
    fs::create_directory_symlink("../outside", dir / "root/up");
    fs::create_directory_symlink(dir / "root/a", dir / "root/abs");
    fs::create_symlink("loop", dir / "root/loop");
    fs::create_symlink("missing", dir / "root/dangling");
    fs::create_directory_symlink("../a/b", dir / "root/a/back");
    root = ::open((dir / "root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  void TearDown() override {
    ::close(root);
    beneath_by_walking = false;
  }

  // The directory reached, relative to `dir`, or the error.
  std::string opened(const std::string& rel) {
    errno = 0;
    const int fd = open_beneath(root, rel);
    if (fd < 0) return std::string("error ") + std::to_string(errno);
    char link[4096] = {};
    const std::string self = std::string("/proc/self/fd/") + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), link, sizeof link - 1);
    ::close(fd);
    return n > 0 ? fs::relative(link, dir.path).string() : "?";
  }

  ScopedTempDir dir;
  int root = -1;
};

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, BeneathTest, ::testing::Values(false, true));

TEST_P(BeneathTest, FollowsOnlyWhatStaysBelowTheRoot) {
  const std::string loop = std::string("error ") + std::to_string(ELOOP);
  const struct {
    const char* rel;
    std::string reached;
  } cases[] = {
      {"", "root"},
      {"a/b", "root/a/b"},
      {"a//./b/", "root/a/b"},
      {"in/b", "root/a/b"},
      {"a/back", "root/a/b"},
      {"up", loop},
      {"abs", loop},
      {"loop", loop},
      {"dangling", std::string("error ") + std::to_string(ENOENT)},
      {"file", std::string("error ") + std::to_string(ENOTDIR)},
      {"missing/x", std::string("error ") + std::to_string(ENOENT)},
  };
  for (const auto& c : cases) EXPECT_EQ(opened(c.rel), c.reached) << c.rel;
}

TEST_P(BeneathTest, MakesDirectoriesOnlyBelowTheRoot) {
  const int made = make_directories_beneath(root, "in/new/deeper");
  ASSERT_GE(made, 0);
  ::close(made);
  EXPECT_TRUE(fs::is_directory(dir / "root/a/new/deeper"));

  errno = 0;
  EXPECT_EQ(make_directories_beneath(root, "up/new"), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_TRUE(fs::is_empty(dir / "outside"));

  errno = 0;
  EXPECT_EQ(make_directories_beneath(root, "file/new"), -1);
  EXPECT_EQ(errno, EEXIST);  // as mkdir says of a file in the way
}

}  // namespace
}  // namespace telo
