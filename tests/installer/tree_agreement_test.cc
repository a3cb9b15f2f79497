// The tree model (what `telo-pack verify` says a run of records does to a
// fresh directory) against the installer's extraction onto a real one: the
// same records go through both and must leave the same tree, and stop at the
// same record. Each case is run with the kernel's resolution beneath the
// installation directory and with the walk by hand.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "installer/beneath.h"
#include "installer/extraction.h"
#include "payload/tree_rules.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTempDir;

struct Step {
  const char* path;
  bool removal;
};

Step file(const char* path) { return {path, false}; }
Step removal(const char* path) { return {path, true}; }

// A link planted in the installation directory before the records run; the
// model knows nothing of it, so it is left out of the trees compared.
struct Link {
  const char* path;
  const char* target;
  bool survives;
};

struct Case {
  const char* name;
  std::vector<Step> records;
  int stops_at;                    // the record at fault, or -1
  std::vector<std::string> tree;   // sorted; a directory ends in '/'
  std::vector<Link> links = {};
};

const Case kCases[] = {
    {"a missing path", {file("f"), removal("g")}, -1, {"f"}},
    {"a file", {file("f"), removal("f")}, -1, {}},
    {"a file named as a folder", {file("f"), removal("f/")}, -1, {"f"}},
    {"an empty folder", {file("d/f"), removal("d/f"), removal("d")}, -1, {}},
    {"an empty folder named as a folder", {file("d/f"), removal("d/f"), removal("d//")}, -1, {}},
    {"a folder that is not empty", {file("d/f"), removal("d")}, -1, {"d/", "d/f"}},
    {"deepest first, as the packer orders them",
     {file("a/b/c"), removal("a/b/c"), removal("a/b"), removal("a")}, -1, {}},
    {"a nested folder named as a folder", {file("a/b/f"), removal("a/b/f"), removal("a/b/")}, -1, {"a/"}},
    {"a path through '..'", {file("a/f"), file("b"), removal("a/../b")}, -1, {"a/", "a/f"}},
    {"'..' after a missing folder", {file("b"), removal("a/../b")}, -1, {"b"}},
    {"'..' after a file", {file("f"), file("b"), removal("f/../b")}, -1, {"b", "f"}},
    {"a path through a file", {file("f"), removal("f/g")}, -1, {"f"}},
    {"a path through a missing folder", {file("f"), removal("d/f")}, -1, {"f"}},
    {"doubled and leading separators", {file("a/b"), file("c"), removal("a//b"), removal("/c")}, -1, {"a/"}},
    {"'.' and '..' at the end",
     {file("d/f"), removal("d/f"), removal("d/."), removal("d/.."), removal("d/./"), removal("d/../")}, -1, {"d/"}},
    {"the installation directory itself",
     {file("f"), removal(""), removal("/"), removal("."), removal("./"), removal("f/..")}, -1, {"f"}},
    {"removals before anything exists", {removal("a"), removal("a/b/"), removal("")}, -1, {}},
    {"a file made again after its removal", {file("d/f"), removal("d/f"), removal("d"), file("d/f")}, -1,
     {"d/", "d/f"}},
    {"a file through '..'", {file("a/../b")}, -1, {"a/", "b"}},
    {"a file path ending in '/'", {file("d/")}, 0, {"d/"}},
    {"a file path ending in '..'", {file("f"), file("a/..")}, 1, {"a/", "f"}},
    {"a file where a folder stands", {file("d/f"), file("d")}, 1, {"d/", "d/f"}},
    {"a folder where a file stands", {file("f"), file("f/g")}, 1, {"f"}},
    {"through a link that leads out",
     {file("keep"), removal("out/f"), removal("out/")}, -1, {"keep"}, {{"out", "../outside", true}}},
    {"a link as the last component",
     {file("d/f"), removal("l")}, -1, {"d/", "d/f"}, {{"l", "d", false}}},
    {"a link as the last component, named as a folder",
     {file("d/f"), removal("d/f"), removal("l/")}, -1, {"d/"}, {{"l", "d", true}}},
};

struct Outcome {
  int stops_at = -1;
  std::vector<std::string> tree;
};

Outcome through_model(const Case& c) {
  Outcome outcome;
  TreeModel model;
  for (std::size_t i = 0; i < c.records.size(); ++i) {
    FileRecord record;
    record.method = c.records[i].removal ? METHOD_REMOVE : METHOD_STORED;
    if (tree_apply(&model, record, c.records[i].path) != TreeFault::kNone) {
      outcome.stops_at = static_cast<int>(i);
      break;
    }
  }
  for (const auto& [key, is_directory] : model.entries) outcome.tree.push_back(key + (is_directory ? "/" : ""));
  std::sort(outcome.tree.begin(), outcome.tree.end());
  return outcome;
}

bool is_planted(const Case& c, const std::string& rel) {
  return std::any_of(c.links.begin(), c.links.end(), [&](const Link& link) { return rel == link.path; });
}

// Everything below `root` but the planted links, without following a link.
std::vector<std::string> tree_on_disk(const Case& c, const fs::path& root) {
  std::vector<std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().lexically_relative(root).string();
    if (is_planted(c, rel)) continue;
    tree.push_back(rel + (entry.is_directory() && !entry.is_symlink() ? "/" : ""));
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

struct OwnedFd {
  int fd;
  ~OwnedFd() { ::close(fd); }
};

Outcome through_extraction(const Case& c, const ScopedTempDir& dir) {
  std::vector<testing::TestFile> files;
  for (const Step& step : c.records)
    files.push_back({.path = step.path, .contents = "x", .method = step.removal ? METHOD_REMOVE : METHOD_STORED});
  const testing::BuiltPayload payload = testing::build_payload(files);
  const std::vector<std::uint8_t> bytes = payload.bytes();
  testing::write_file(dir / "payload", std::string(bytes.begin(), bytes.end()));
  const fs::path root = dir / "root";
  fs::create_directories(dir / "outside");
  testing::write_file(dir / "outside/f", "outside");
  for (const Link& link : c.links) {
    fs::create_directories(root);
    fs::create_symlink(link.target, root / link.path);
  }

  Outcome outcome;
  const OwnedFd source{::open((dir / "payload").c_str(), O_RDONLY | O_CLOEXEC)};
  {
    Extraction extraction;
    EXPECT_TRUE(extraction_start(&extraction, PayloadSource{source.fd, kPayloadHeaderSize},
                                 payload.header.file_count, root.c_str()));
    for (;;) {
      const ExtractEvent event = extraction_next(&extraction);
      if (event.kind == ExtractEventKind::kFault) outcome.stops_at = static_cast<int>(event.record);
      if (event.kind == ExtractEventKind::kFault || event.kind == ExtractEventKind::kFinished) break;
    }
  }
  outcome.tree = tree_on_disk(c, root);
  for (const Link& link : c.links)
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(root / link.path)), link.survives) << c.name << ": " << link.path;
  EXPECT_EQ(testing::read_file(dir / "outside/f"), "outside") << c.name;
  return outcome;
}

class TreeAgreement : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { beneath_by_walking = GetParam(); }
  void TearDown() override { beneath_by_walking = false; }
};

TEST_P(TreeAgreement, ModelAndExtractionLeaveTheSameTree) {
  for (const Case& c : kCases) {
    ScopedTempDir dir;
    const Outcome model = through_model(c);
    const Outcome disk = through_extraction(c, dir);
    EXPECT_EQ(model.stops_at, c.stops_at) << c.name;
    EXPECT_EQ(model.tree, c.tree) << c.name;
    EXPECT_EQ(disk.stops_at, c.stops_at) << c.name;
    EXPECT_EQ(disk.tree, c.tree) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Resolution, TreeAgreement, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "WalkByHand" : "Kernel";
                         });

}  // namespace
}  // namespace telo
