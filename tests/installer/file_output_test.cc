#include "installer/file_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::read_file;
using testing::ScopedTempDir;
using testing::write_file;

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(OutputFile, CreatesWithTheUmaskAppliedAndWritesEverything) {
  ScopedTempDir dir;
  const std::string path = dir / "new";
  mode_t old_mask = ::umask(027);
  OutputFile file;
  bool opened = open_output_file(path.c_str(), &file);
  ::umask(old_mask);
  ASSERT_TRUE(opened);
  std::string contents(300000, 'q');
  ASSERT_TRUE(write_output_file(&file, bytes_of(contents)));
  ASSERT_TRUE(close_output_file(&file));
  EXPECT_EQ(read_file(path), contents);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(OutputFile, TruncatesAnExistingFile) {
  ScopedTempDir dir;
  const std::string path = dir / "old";
  write_file(path, "a much longer previous content");
  OutputFile file;
  ASSERT_TRUE(open_output_file(path.c_str(), &file));
  ASSERT_TRUE(write_output_file(&file, bytes_of("new")));
  ASSERT_TRUE(close_output_file(&file));
  EXPECT_EQ(read_file(path), "new");
}

TEST(OutputFile, RefusesASymbolicLinkAndLeavesItsTargetAlone) {
  ScopedTempDir dir;
  const std::string target = dir / "target";
  const std::string link = dir / "link";
  write_file(target, "precious");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  OutputFile file;
  errno = 0;
  EXPECT_FALSE(open_output_file(link.c_str(), &file));
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(read_file(target), "precious");
  // A dangling link must not create its target either.
  ::unlink(target.c_str());
  EXPECT_FALSE(open_output_file(link.c_str(), &file));
  EXPECT_NE(::access(target.c_str(), F_OK), 0);
}

TEST(OutputFile, RefusesAFifoWithoutWaitingForAReader) {
  ScopedTempDir dir;
  const std::string path = dir / "fifo";
  ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
  OutputFile file;
  errno = 0;
  EXPECT_FALSE(open_output_file(path.c_str(), &file));
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(file.fd, -1);
}

TEST(OutputFile, RefusesADeviceNode) {
  OutputFile file;
  errno = 0;
  EXPECT_FALSE(open_output_file("/dev/null", &file));
  EXPECT_EQ(errno, EEXIST);
}

TEST(OutputFile, RestoresTimeAndPermissionBits) {
  ScopedTempDir dir;
  const std::string path = dir / "f";
  OutputFile file;
  ASSERT_TRUE(open_output_file(path.c_str(), &file));
  restore_time_and_mode(&file, 1700000000u, 0100755);
  ASSERT_TRUE(close_output_file(&file));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1700000000);
  EXPECT_EQ(info.st_atime, 1700000000);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST(OutputFile, ReportsAMissingDirectory) {
  ScopedTempDir dir;
  OutputFile file;
  errno = 0;
  EXPECT_FALSE(open_output_file((dir / "no/such/file").c_str(), &file));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(file.fd, -1);
}

}  // namespace
}  // namespace telo
