// Extraction keeps the folders of the last files open, and knows which
// names are free in a folder it made. These cases change a kept folder or a
// part of its path between records, by a record or by another user, and
// check that the next file goes where resolving its path afresh would put
// it, with the fault and the file's mode that a look before writing gives.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "installer/beneath.h"
#include "installer/extraction.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTempDir;
using testing::TestFile;

TestFile file(const char* path, const char* contents = "x") { return {.path = path, .contents = contents}; }
TestFile file_with_mode(const char* path, std::uint16_t mode) {
  return {.path = path, .contents = "m", .mtime = 1700000000, .mode = mode};
}
TestFile removal(const char* path) { return {.path = path, .contents = "", .method = METHOD_REMOVE}; }

struct OwnedFd {
  int fd;
  ~OwnedFd() { ::close(fd); }
};

// Runs `records` below dir/root; `between(k)` runs once record k is done.
// `damaged` names a record whose contents are spoilt. The last event.
ExtractEvent extract(const ScopedTempDir& dir, const std::vector<TestFile>& records,
                     const std::function<void(int)>& between = {}, int damaged = -1) {
  testing::BuiltPayload payload = testing::build_payload(records);
  if (damaged >= 0) {
    const std::size_t end = static_cast<std::size_t>(damaged) + 1 < payload.record_starts.size()
                                ? payload.record_starts[static_cast<std::size_t>(damaged) + 1]
                                : payload.records.size();
    payload.records[end - 1] ^= 0x5A;  // its last content byte: the data check fails
  }
  const std::vector<std::uint8_t> bytes = payload.bytes();
  testing::write_file(dir / "payload", std::string(bytes.begin(), bytes.end()));
  const OwnedFd source{::open((dir / "payload").c_str(), O_RDONLY | O_CLOEXEC)};
  Extraction extraction;
  EXPECT_TRUE(extraction_start(&extraction, PayloadSource{source.fd, kPayloadHeaderSize}, payload.header.file_count,
                               (dir / "root").c_str()));
  for (;;) {
    const ExtractEvent event = extraction_next(&extraction);
    if (event.kind == ExtractEventKind::kFault || event.kind == ExtractEventKind::kFinished) return event;
    if ((event.kind == ExtractEventKind::kWritten || event.kind == ExtractEventKind::kRemoved) && between)
      between(static_cast<int>(event.records_done));
  }
}

mode_t mode_of(const fs::path& path) {
  struct stat info;
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class KeptFolder : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    beneath_by_walking = GetParam();
    old_mask_ = ::umask(022);
  }
  void TearDown() override {
    beneath_by_walking = false;
    ::umask(old_mask_);
  }
  ScopedTempDir dir_;
  mode_t old_mask_ = 0;
};

// A removed folder whose place a file takes: the next file below it finds
// the file, as mkdir would, and is not written into the removed folder.
TEST_P(KeptFolder, AFileWhereARemovedFolderStoodStopsTheFileBelowIt) {
  const ExtractEvent last =
      extract(dir_, {file("a/x"), removal("a/x"), removal("a"), file("a", "file"), file("a/y")});
  EXPECT_EQ(last.kind, ExtractEventKind::kFault);
  EXPECT_EQ(last.record, 4u);
  EXPECT_EQ(last.fault, ExtractFault::kCreateDirectory);
  EXPECT_EQ(last.errnum, EEXIST);
  EXPECT_EQ(testing::read_file(dir_ / "root/a"), "file");
}

// A folder removed and made again: the next file goes into the new one.
TEST_P(KeptFolder, AFolderMadeAgainTakesTheNextFile) {
  const ExtractEvent last = extract(dir_, {file("a/b/x"), removal("a/b/x"), removal("a/b"), removal("a"), file("a/b/y")});
  EXPECT_EQ(last.kind, ExtractEventKind::kFinished);
  EXPECT_EQ(testing::read_file(dir_ / "root/a/b/y"), "x");
  EXPECT_FALSE(fs::exists(dir_ / "root/a/b/x"));
}

// A link through which files went, removed: a folder takes its place and
// the next file goes there, not where the link led.
TEST_P(KeptFolder, ALinkReplacedByAFolderTakesTheNextFile) {
  fs::create_directories(dir_ / "root/real");
  fs::create_symlink("real", dir_ / "root/l");
  const ExtractEvent last = extract(dir_, {file("l/x"), removal("l"), file("l/y")});
  EXPECT_EQ(last.kind, ExtractEventKind::kFinished);
  EXPECT_TRUE(fs::exists(dir_ / "root/real/x"));
  EXPECT_FALSE(fs::exists(dir_ / "root/real/y"));
  EXPECT_FALSE(fs::is_symlink(dir_ / "root/l"));
  EXPECT_EQ(testing::read_file(dir_ / "root/l/y"), "x");
}

// Another user swaps a folder for a link between two records, in a shared
// folder everyone may write: the next file follows the link while it stays
// inside, and is refused when it leads out.
TEST_P(KeptFolder, AFolderSwappedForALinkInASharedFolderIsFollowedAfresh) {
  struct Swap {
    const char* target;
    ExtractEventKind kind;
    const char* lands;  // where y is written, if it is
  };
  for (const Swap& swap : {Swap{"../inside", ExtractEventKind::kFinished, "root/inside/y"},
                           Swap{"../../outside", ExtractEventKind::kFault, nullptr}}) {
    ScopedTempDir dir;
    fs::create_directories(dir / "root/shared");
    fs::create_directories(dir / "root/inside");
    fs::create_directories(dir / "outside");
    fs::permissions(dir / "root/shared", fs::perms::all);
    const ExtractEvent last = extract(dir, {file("shared/a/x"), file("shared/a/y")}, [&](int done) {
      if (done != 0) return;
      fs::rename(dir / "root/shared/a", dir / "root/shared/moved");
      fs::create_symlink(swap.target, dir / "root/shared/a");
    });
    EXPECT_EQ(last.kind, swap.kind) << swap.target;
    EXPECT_FALSE(fs::exists(dir / "root/shared/moved/y")) << swap.target;
    EXPECT_FALSE(fs::exists(dir / "outside/y")) << swap.target;
    if (swap.lands != nullptr) {
      EXPECT_EQ(testing::read_file(dir / swap.lands), "x");
    }
    if (swap.kind == ExtractEventKind::kFault) {
      EXPECT_EQ(last.fault, ExtractFault::kCreateDirectory);
      EXPECT_EQ(last.errnum, ELOOP);
    }
  }
}

// A file written twice in a folder this run made: the second replaces the
// first and, setting no mode, keeps the first one's.
TEST_P(KeptFolder, AFileWrittenAgainInAFolderMadeNowKeepsItsMode) {
  TestFile again = file("n/x", "again");
  const ExtractEvent last = extract(dir_, {file_with_mode("n/x", 0100600), again});
  EXPECT_EQ(last.kind, ExtractEventKind::kFinished);
  EXPECT_EQ(testing::read_file(dir_ / "root/n/x"), "again");
  EXPECT_EQ(mode_of(dir_ / "root/n/x"), 0600u);
}

// A file written through another spelling of a folder this run made is
// known there by its name: written again, it keeps its mode.
TEST_P(KeptFolder, AFileWrittenThroughAnotherSpellingOfAFreshFolderKeepsItsMode) {
  for (const char* spelling : {"n//z", "n/./z", "/n/z"}) {
    ScopedTempDir dir;
    const ExtractEvent last = extract(dir, {file("n/a"), file_with_mode(spelling, 0100600), file("n/z", "again")});
    EXPECT_EQ(last.kind, ExtractEventKind::kFinished) << spelling;
    EXPECT_EQ(testing::read_file(dir / "root/n/z"), "again") << spelling;
    EXPECT_EQ(mode_of(dir / "root/n/z"), 0600u) << spelling;
  }
}

// A folder made inside a folder this run made: a damaged file at the
// folder's name is refused for the folder, before its contents are checked.
TEST_P(KeptFolder, AFolderMadeInAFreshFolderIsFoundBeforeTheContents) {
  const ExtractEvent last = extract(dir_, {file("n/a"), file("n/s/z"), file("n/s")}, {}, 2);
  EXPECT_EQ(last.kind, ExtractEventKind::kFault);
  EXPECT_EQ(last.record, 2u);
  EXPECT_EQ(last.fault, ExtractFault::kCreateFile);
  EXPECT_EQ(last.errnum, EISDIR);
}

// A file made through a link into a folder this run made is there for the
// next record with its name: replaced, keeping its mode.
TEST_P(KeptFolder, AFileMadeThroughALinkIsReplacedKeepingItsMode) {
  fs::create_directories(dir_ / "root");
  fs::create_symlink("n/z", dir_ / "root/l");
  TestFile again = file("n/z", "again");
  const ExtractEvent last = extract(dir_, {file("n/a"), file_with_mode("l", 0100600), again});
  EXPECT_EQ(last.kind, ExtractEventKind::kFinished);
  EXPECT_TRUE(fs::is_symlink(dir_ / "root/l"));
  EXPECT_EQ(testing::read_file(dir_ / "root/n/z"), "again");
  EXPECT_EQ(mode_of(dir_ / "root/n/z"), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Resolution, KeptFolder, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "WalkByHand" : "Kernel";
                         });

}  // namespace
}  // namespace telo
