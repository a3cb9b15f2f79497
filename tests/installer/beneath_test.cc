#include "installer/beneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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
    // abs -> an absolute path inside, out -> an absolute path outside,
    // loop -> loop, dangling -> missing, a/back -> ../a/b (inside, through
    // ".."); outside/ lies beside root.
    fs::create_directories(dir / "root/a/b");
    fs::create_directories(dir / "outside");
    testing::write_file(dir / "root/file", "x");
    fs::create_directory_symlink("a", dir / "root/in");
    fs::create_directory_symlink("../outside", dir / "root/up");
    fs::create_directory_symlink(dir / "root/a", dir / "root/abs");
    fs::create_directory_symlink(dir / "outside", dir / "root/out");
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
      {"out", loop},
      {"abs/b", "root/a/b"},  // absolute, but naming a path inside
      {"/a/b", "root/a/b"},    // a leading '/' only doubles the separator
      {"loop", loop},
      {"dangling", std::string("error ") + std::to_string(ENOENT)},
      {"file", std::string("error ") + std::to_string(ENOTDIR)},
      {"missing/x", std::string("error ") + std::to_string(ENOENT)},
  };
  for (const auto& c : cases) EXPECT_EQ(opened(c.rel), c.reached) << c.rel;
}

TEST_P(BeneathTest, MakesDirectoriesOnlyBelowTheRoot) {
  const int made = make_directories_beneath(root, "in/new/deeper", 0755);
  ASSERT_GE(made, 0);
  ::close(made);
  EXPECT_TRUE(fs::is_directory(dir / "root/a/new/deeper"));

  errno = 0;
  EXPECT_EQ(make_directories_beneath(root, "up/new", 0755), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_TRUE(fs::is_empty(dir / "outside"));

  errno = 0;
  EXPECT_EQ(make_directories_beneath(root, "file/new", 0755), -1);
  EXPECT_EQ(errno, EEXIST);  // as mkdir says of a file in the way

  // A link that leads nowhere stands in the way as a file does.
  errno = 0;
  EXPECT_EQ(make_directories_beneath(root, "dangling/new", 0755), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(fs::exists(dir / "root/missing"));
}

// The directory and name a file's path comes to, relative to `dir`, or the error.
std::string parent_of(int root, const std::string& rel, const std::string& dir) {
  errno = 0;
  std::string name;
  const int fd = open_parent_beneath(root, rel, &name);
  if (fd < 0) return std::string("error ") + std::to_string(errno);
  char link[4096] = {};
  const std::string self = std::string("/proc/self/fd/") + std::to_string(fd);
  const ssize_t n = ::readlink(self.c_str(), link, sizeof link - 1);
  ::close(fd);
  return (n > 0 ? fs::relative(link, dir).string() : "?") + " : " + name;
}

TEST_P(BeneathTest, AFilesOwnLinkIsFollowedWhileItStaysInside) {
  fs::create_symlink("a/b/target", dir / "root/to_file");
  fs::create_symlink("to_file", dir / "root/chain");
  fs::create_symlink(dir / "root/a/abs_target", dir / "root/abs_file");
  fs::create_symlink("../../outside/x", dir / "root/a/escape");
  fs::create_symlink(dir / "outside/y", dir / "root/abs_escape");
  fs::create_symlink("../b/x", dir / "root/a/up_and_over");
  const std::string loop = std::string("error ") + std::to_string(ELOOP);
  const struct {
    const char* rel;
    std::string reached;
  } cases[] = {
      {"plain", "root : plain"},
      {"a/b/plain", "root/a/b : plain"},
      {"to_file", "root/a/b : target"},  // leads nowhere yet: the file is made there
      {"chain", "root/a/b : target"},
      {"abs_file", "root/a : abs_target"},
      {"a/up_and_over", "root/b : x"},
      {"a/escape", loop},
      {"abs_escape", loop},
      {"loop", loop},
      {"", "root : "},
  };
  fs::create_directories(dir / "root/b");
  for (const auto& c : cases) EXPECT_EQ(parent_of(root, c.rel, dir.path), c.reached) << c.rel;
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

// A POSIX access control list in the kernel's extended attribute form:
// owner rwx, group rw-, others rw- (what the shared folders carry by default).
std::vector<std::uint8_t> shared_default_acl() {
  std::vector<std::uint8_t> acl = {2, 0, 0, 0};  // version
  auto entry = [&](std::uint16_t tag, std::uint16_t perm) {
    const std::uint8_t bytes[8] = {static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8),
                                   static_cast<std::uint8_t>(perm), 0, 0xFF, 0xFF, 0xFF, 0xFF};
    acl.insert(acl.end(), bytes, bytes + 8);
  };
  entry(0x01, 7);  // the owner
  entry(0x04, 6);  // the owning group
  entry(0x20, 6);  // others
  return acl;
}

TEST_P(BeneathTest, DirectoriesMadeBelowASharedFolderGetTheirMode) {
  fs::create_directories(dir / "root/shared");
  const std::vector<std::uint8_t> acl = shared_default_acl();
  if (::setxattr((dir / "root/shared").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0)
    GTEST_SKIP() << "no ACLs on this file system: " << std::strerror(errno);
  const int made = make_directories_beneath(root, "shared/new/deeper", 0751);
  ASSERT_GE(made, 0);
  ::close(made);
  for (const char* path : {"root/shared/new", "root/shared/new/deeper"}) {
    struct stat info {};
    ASSERT_EQ(::stat((dir / path).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u) << path;
  }
}

}  // namespace
}  // namespace telo
