#include "installer/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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

TEST_P(OutputFileTest, ATemporaryLeftByARunCutShortIsTakenOver) {
  write_file(dir / temporary_name("f"), "left by a killed run");
  OutputFile file;
  ASSERT_TRUE(open_output_file(open_dir(dir.path), "f", &file));
  ASSERT_TRUE(write_output_file(&file, bytes_of("whole")));
  ASSERT_TRUE(commit_output_file(&file, true));
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"f"});
  EXPECT_EQ(read_file(dir / "f"), "whole");
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

TEST(OutputFile, TemporaryNamesAreFixedAndFitAFileName) {
  EXPECT_EQ(temporary_name("a.txt"), ".a.txt.telo-new");
  const std::string longest(255, 'n');
  EXPECT_EQ(temporary_name(longest), temporary_name(longest));
  EXPECT_LE(temporary_name(longest).size(), 255u);
  EXPECT_NE(temporary_name(longest), temporary_name(std::string(254, 'n')));
}

}  // namespace
}  // namespace telo
