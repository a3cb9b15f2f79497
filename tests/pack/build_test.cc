// A file rewritten in place while it is being packed, its size and
// modification time put back afterwards (as `touch -r`, `cp -p` and
// `rsync --inplace -t` do), must not end up in an installer as a mix of
// its two versions: the build refuses it by name.

#include "pack/build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "pack/source_file.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ScopedTempDir;
using testing::write_file;

// Text that codes well, so that the file is packed as coded pieces.
std::string text_of(std::size_t size, char variant) {
  std::string text;
  for (unsigned i = 0; text.size() < size; ++i) text += "line " + std::to_string(i * 7919u % 100003u) + variant + "\n";
  text.resize(size);
  return text;
}

// The rewrite the hook makes, once, after the read numbered `after_read`.
struct Rewrite {
  std::string path;
  std::size_t size = 0;
  int after_read = 1;
  std::atomic<int> reads{0};
  std::atomic<bool> done{false};
};
Rewrite* rewrite = nullptr;

// Writes other bytes over the whole file through the same inode, then puts
// its size and times back. A clock tick must pass for st_ctime to show the
// change; the rewrite is repeated until it does, as any rewrite a tick
// later would.
void rewrite_in_place(const PackEntry& entry, std::uint64_t) {
  if (entry.source != rewrite->path || ++rewrite->reads != rewrite->after_read) return;
  struct stat before {};
  ASSERT_EQ(::stat(rewrite->path.c_str(), &before), 0);
  const std::string other = text_of(rewrite->size, 'x');
  for (struct stat after = before; after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                                   after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;) {
    const int fd = ::open(rewrite->path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ASSERT_EQ(::fstat(fd, &after), 0);
    ::close(fd);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_ino, before.st_ino);
  }
  rewrite->done = true;
}

struct RewriteCase {
  const char* name;
  bool store_only;
  unsigned jobs;
  int after_read;       // the hook's call after which the file is rewritten (0: never)
};

void PrintTo(const RewriteCase& c, std::ostream* out) { *out << c.name; }

class PackRewriteTest : public ::testing::TestWithParam<RewriteCase> {
 protected:
  void TearDown() override {
    source_read_hook = nullptr;
    rewrite = nullptr;
  }
};

TEST_P(PackRewriteTest, AFileRewrittenInPlaceBetweenReadsIsRefused) {
  const RewriteCase& c = GetParam();
  ScopedTempDir temp;
  std::filesystem::create_directories(temp / "app/program");
  write_file(temp / "app/a-small.txt", "read first\n");
  // Three coded pieces, or three copied chunks: reads with room between them.
  const std::size_t size = 5u << 20;
  write_file(temp / "app/program/big.txt", text_of(size, 'a'));
  write_file(temp / "app/z-after.txt", "read last\n");
  Rewrite planned;
  planned.path = temp / "app/program/big.txt";
  planned.size = size;
  planned.after_read = c.after_read;
  rewrite = &planned;
  source_read_hook = rewrite_in_place;

  PackOptions options;
  options.output = temp / "setup.bin";
  options.app_dir = temp / "app";
  options.stub = TELO_INSTALLER_PATH;
  options.store_only = c.store_only;
  options.jobs = c.jobs;
  ::testing::internal::CaptureStderr();
  const int status = build_installer(options);
  const std::string errors = ::testing::internal::GetCapturedStderr();

  EXPECT_GE(planned.reads.load(), 3) << "the file was not read in several pieces";
  if (c.after_read == 0) {
    EXPECT_EQ(status, 0) << errors;
    EXPECT_TRUE(std::filesystem::exists(temp / "setup.bin"));
    return;
  }
  ASSERT_TRUE(planned.done);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(errors, "telo-pack: error: " + planned.path + ": the file changed while being packed\n");
  EXPECT_FALSE(std::filesystem::exists(temp / "setup.bin"));
}

const RewriteCase kRewrites[] = {
    {"CodedLeftAlone", false, 1, 0},
    {"CodedAfterTheFirstPiece", false, 1, 1},
    {"CodedBeforeTheLastPiece", false, 1, 2},
    {"CodedOnThreeThreads", false, 3, 1},
    {"CopiedAfterTheFirstChunk", true, 1, 1},
};

INSTANTIATE_TEST_SUITE_P(Builds, PackRewriteTest, ::testing::ValuesIn(kRewrites),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace telo
