#include "installer/file_output.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
using testing::read_file;
using testing::ScopedTempDir;
using testing::write_file;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int open_dir(const std::string& path) { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Both ways of writing: through a nameless file, and through a named
// temporary one (file systems without O_TMPFILE).
class OutputFileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { output_without_tmpfile = GetParam(); }
  void TearDown() override { output_without_tmpfile = false; }
  ScopedTempDir dir;
};

INSTANTIATE_TEST_SUITE_P(BothWays, OutputFileTest, ::testing::Values(false, true));

TEST_P(OutputFileTest, ANewFileAppearsOnlyWhenCommittedWithTheUmaskApplied) {
  const mode_t old_mask = ::umask(027);
  OutputFile file;
  const bool opened = open_output_file(open_dir(dir.path), "new", &file);
  ::umask(old_mask);
  ASSERT_TRUE(opened);
  const std::string contents(300000, 'q');
  ASSERT_TRUE(write_output_file(&file, bytes_of(contents)));
  EXPECT_FALSE(fs::exists(dir / "new"));
  ASSERT_TRUE(commit_output_file(&file, true));
  EXPECT_EQ(read_file(dir / "new"), contents);
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"new"});
  struct stat info {};
  ASSERT_EQ(::stat((dir / "new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// A new file takes its name in one step; what someone put at the name after
// the look is replaced, as the rename of a replacing file does, and a
// borrowed directory stays open. A name known to be free is not looked at.
TEST_P(OutputFileTest, WhatTakesAFreeNameMeanwhileIsReplacedAtCommit) {
  for (const TargetState target : {TargetState::kUnknown, TargetState::kFree}) {
    ScopedTempDir here;
    const int parent = open_dir(here.path);
    {
      OutputFile file;
      ASSERT_TRUE(open_output_file(parent, "new", &file, ParentHold::kBorrowed, target));
      ASSERT_TRUE(write_output_file(&file, bytes_of("ours")));
      write_file(here / "new", "theirs");
      ASSERT_TRUE(commit_output_file(&file, true));
    }
    EXPECT_EQ(read_file(here / "new"), "ours");
    EXPECT_EQ(names_in(here.path), std::vector<std::string>{"new"});
    struct stat info {};
    EXPECT_EQ(::fstat(parent, &info), 0) << "the borrowed directory was closed";
    ::close(parent);
  }
}

TEST_P(OutputFileTest, AFileNotCommittedLeavesTheOldOneAndNoTemporary) {
  write_file(dir / "old", "the good contents");
  {
    OutputFile file;
    ASSERT_TRUE(open_output_file(open_dir(dir.path), "old", &file));
    ASSERT_TRUE(write_output_file(&file, bytes_of("half")));
  }
  EXPECT_EQ(read_file(dir / "old"), "the good contents");
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"old"});
}

TEST_P(OutputFileTest, AReplacedFileKeepsItsModeWhenTheRecordSetsNone) {
  write_file(dir / "old", "a much longer previous content");
  ASSERT_EQ(::chmod((dir / "old").c_str(), 0750), 0);
  OutputFile file;
  ASSERT_TRUE(open_output_file(open_dir(dir.path), "old", &file));
  ASSERT_TRUE(write_output_file(&file, bytes_of("new")));
  ASSERT_TRUE(commit_output_file(&file, true));
  EXPECT_EQ(read_file(dir / "old"), "new");
  struct stat info {};
  ASSERT_EQ(::stat((dir / "old").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
}

// Names beside the target belong to whoever made them: a file that looks
// like an earlier run's temporary, and whatever holds the names this run
// would try first, stay as they are.
TEST_P(OutputFileTest, WhatOthersHoldAtTemporaryNamesIsLeftAlone) {
  write_file(dir / ".f.telo-new", "someone's file");
  fs::create_directory(dir / temporary_name("f", next_temporary_serial));
  write_file(dir / temporary_name("f", next_temporary_serial + 1), "another's");
  const std::vector<std::string> before = names_in(dir.path);
  OutputFile file;
  ASSERT_TRUE(open_output_file(open_dir(dir.path), "f", &file));
  ASSERT_TRUE(write_output_file(&file, bytes_of("whole")));
  ASSERT_TRUE(commit_output_file(&file, true));
  std::vector<std::string> expected = before;
  expected.push_back("f");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(dir.path), expected);
  EXPECT_EQ(read_file(dir / "f"), "whole");
  EXPECT_EQ(read_file(dir / ".f.telo-new"), "someone's file");
}

TEST_P(OutputFileTest, RefusesWhatIsNotARegularFileAndLeavesItAlone) {
  const std::string target = dir / "target";
  write_file(target, "precious");
  ASSERT_EQ(::symlink(target.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
  fs::create_directory(dir / "sub");
  const struct {
    const char* name;
    int error;
  } cases[] = {{"link", ELOOP}, {"dangling", ELOOP}, {"fifo", EEXIST}, {"sub", EISDIR},
               {"", EISDIR},    {".", EISDIR}};
  for (const auto& c : cases) {
    OutputFile file;
    errno = 0;
    EXPECT_FALSE(open_output_file(open_dir(dir.path), c.name, &file)) << c.name;
    EXPECT_EQ(errno, c.error) << c.name;
    EXPECT_EQ(file.fd, -1) << c.name;
  }
  EXPECT_EQ(read_file(target), "precious");
  EXPECT_FALSE(fs::exists(dir / "gone"));
  EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"dangling", "fifo", "link", "sub", "target"}));
}

TEST_P(OutputFileTest, RestoresTimeAndPermissionBits) {
  OutputFile file;
  ASSERT_TRUE(open_output_file(open_dir(dir.path), "f", &file));
  restore_time_and_mode(&file, 1700000000u, 0100755);
  ASSERT_TRUE(commit_output_file(&file, false));
  struct stat info {};
  ASSERT_EQ(::stat((dir / "f").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1700000000);
  EXPECT_EQ(info.st_atime, 1700000000);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST(OutputFile, TemporaryNamesAreHiddenDifferBySerialAndFitAFileName) {
  EXPECT_EQ(temporary_name("a.txt", 0x1f), ".a.txt.telo-00000000001f");
  EXPECT_NE(temporary_name("a.txt", 1), temporary_name("a.txt", 2));
  const std::string longest(255, 'n');
  EXPECT_EQ(temporary_name(longest, 7), temporary_name(longest, 7));
  EXPECT_EQ(temporary_name(longest, 7)[0], '.');
  EXPECT_LE(temporary_name(longest, 7).size(), 255u);
  EXPECT_NE(temporary_name(longest, 7), temporary_name(std::string(254, 'n'), 7));
}

// An access ACL in the kernel's extended attribute form: owner rw-, user
// 4242 rw-, owning group r--, mask rw-, others ---.
std::vector<std::uint8_t> acl_with_named_user() {
  std::vector<std::uint8_t> acl = {2, 0, 0, 0};
  auto entry = [&](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
    for (unsigned v : {unsigned{tag} & 0xFFu, unsigned{tag} >> 8u, unsigned{perm} & 0xFFu, unsigned{perm} >> 8u})
      acl.push_back(static_cast<std::uint8_t>(v));
    for (int k = 0; k < 4; ++k) acl.push_back(static_cast<std::uint8_t>(id >> (8 * k)));
  };
  entry(0x01, 6, 0xFFFFFFFF);
  entry(0x02, 6, 4242);
  entry(0x04, 4, 0xFFFFFFFF);
  entry(0x10, 6, 0xFFFFFFFF);
  entry(0x20, 0, 0xFFFFFFFF);
  return acl;
}

std::vector<std::uint8_t> access_acl_of(const std::string& path) {
  std::vector<std::uint8_t> acl(256);
  const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size());
  acl.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return acl;
}

// Replacing by rename must not lose what the old file's access ACL granted:
// kept whole when the record sets no mode, with its mask from the record's
// group bits (as chmod would set it) when it does.
TEST_P(OutputFileTest, AReplacedFileKeepsItsAccessAcl) {
  const std::vector<std::uint8_t> acl = acl_with_named_user();
  for (bool keep_mode : {true, false}) {
    const std::string path = dir / "old";
    write_file(path, "old contents");
    if (::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
      GTEST_SKIP() << "no ACLs on this file system: " << std::strerror(errno);
    OutputFile file;
    ASSERT_TRUE(open_output_file(open_dir(dir.path), "old", &file));
    ASSERT_TRUE(write_output_file(&file, bytes_of("new")));
    if (!keep_mode) restore_time_and_mode(&file, 1700000000u, 0100640);
    ASSERT_TRUE(commit_output_file(&file, keep_mode));
    EXPECT_EQ(read_file(path), "new");
    std::vector<std::uint8_t> expected = acl;
    if (!keep_mode) expected[4 + 3 * 8 + 2] = 4;  // the mask entry's permissions: r--
    EXPECT_EQ(access_acl_of(path), expected) << keep_mode;
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, keep_mode ? 0660u : 0640u);
    fs::remove(path);
  }
}

// Runs `body` in a child process as an ordinary user (nobody); true when it
// returned true there.
template <typename Body>
bool as_ordinary_user(Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A user may update a file they may write in a folder they may not: the
// checked contents go over the old file, whose other names see them too;
// contents not committed leave it as it was.
TEST_P(OutputFileTest, AFileInAFolderThatTakesNoNewEntryIsRewrittenInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
  const std::string path = dir / "shared";
  write_file(path, "a longer old content");
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(::link(path.c_str(), (dir / "other_name").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);

  EXPECT_TRUE(as_ordinary_user([&] {
    OutputFile file;
    return open_output_file(open_dir(dir.path), "shared", &file) && write_output_file(&file, bytes_of("half"));
  }));
  EXPECT_EQ(read_file(path), "a longer old content");

  EXPECT_TRUE(as_ordinary_user([&] {
    OutputFile file;
    if (!open_output_file(open_dir(dir.path), "shared", &file)) return false;
    if (!write_output_file(&file, bytes_of("new"))) return false;
    restore_time_and_mode(&file, 1700000000u, 0100644);
    return commit_output_file(&file, false);
  }));
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(read_file(dir / "other_name"), "new");
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, 0u);  // (its time and mode stay: only the owner may set them)
  EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"other_name", "shared"}));

  // A file the user may not write is still refused.
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_FALSE(as_ordinary_user([&] {
    OutputFile file;
    return open_output_file(open_dir(dir.path), "shared", &file);
  }));
}

// Sets or clears the immutable flag of a directory (no entry may be added
// to it, not even by the super-user); false where the file system has none.
bool set_immutable(const std::string& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  if (fd >= 0) ::close(fd);
  return done;
}

// The super-user rewrites in place only a file without other links: a link
// someone planted in such a folder could name any file of the system.
TEST_P(OutputFileTest, TheSuperUserRewritesInPlaceOnlyAFileWithoutOtherLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string locked = dir / "locked";
  fs::create_directory(locked);
  write_file(locked + "/single", "old single");
  write_file(locked + "/linked", "old linked");
  ASSERT_EQ(::link((locked + "/linked").c_str(), (dir / "elsewhere").c_str()), 0);
  if (!set_immutable(locked, true)) GTEST_SKIP() << "no immutable flag here";
  struct Unlock {
    std::string path;
    ~Unlock() { set_immutable(path, false); }
  } unlock{locked};

  {
    OutputFile file;
    ASSERT_TRUE(open_output_file(open_dir(locked), "single", &file)) << std::strerror(errno);
    ASSERT_TRUE(write_output_file(&file, bytes_of("new single")));
    ASSERT_TRUE(commit_output_file(&file, true));
  }
  EXPECT_EQ(read_file(locked + "/single"), "new single");
  OutputFile file;
  errno = 0;
  EXPECT_FALSE(open_output_file(open_dir(locked), "linked", &file));
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(read_file(dir / "elsewhere"), "old linked");
}

}  // namespace
}  // namespace telo
