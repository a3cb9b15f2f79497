// telo-pack's command line: subcommands, help, exit codes, the raw codec
// commands, and files large enough to be coded in several pieces.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

struct UsageCase {
  std::vector<std::string> args;
  const char* message;
};

TEST(PackCliTest, UsageErrorsExitWith2) {
  const UsageCase cases[] = {
      {{}, "usage: telo-pack COMMAND"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"build", "/tmp"}, "wants -o OUT"},
      {{"build", "-o", "/tmp/x.bin"}, "wants exactly one APPDIR"},
      {{"build", "-o", "/tmp/x.bin", "/tmp", "--jobs", "0"}, "--jobs wants a number"},
      {{"build", "-o", "/tmp/x.bin", "/tmp", "--build-time", "yesterday"}, "--build-time wants seconds"},
      {{"build", "-o", "/tmp/x.bin", "/tmp", "--shiny"}, "unknown option or missing value: --shiny"},
      {{"list"}, "wants one INSTALLER"},
      {{"extract", "a"}, "wants INSTALLER and DIR"},
      {{"decompress", "a", "b", "-1"}, "SIZE wants a number"},
  };
  for (const UsageCase& c : cases) {
    RunResult result = run_pack(c.args);
    EXPECT_EQ(result.exit_status, 2) << c.message;
    EXPECT_NE(result.stderr_text.find(c.message), std::string::npos) << result.stderr_text;
  }
}

TEST(PackCliTest, HelpForEachCommand) {
  for (const char* command : {"build", "list", "verify", "extract", "compress", "decompress", "keygen", "sign"}) {
    RunResult result = run_pack({command, "--help"});
    EXPECT_EQ(result.exit_status, 0) << command;
    EXPECT_EQ(result.stdout_text.find(std::string("usage: telo-pack ") + command), 0u) << result.stdout_text;
  }
  RunResult overview = run_pack({"--help"});
  EXPECT_EQ(overview.exit_status, 0);
  EXPECT_NE(overview.stdout_text.find("telo-pack verify INSTALLER"), std::string::npos);
}

TEST(PackCliTest, MissingInputIsAFailureNotAUsageError) {
  ScopedTempDir temp;
  RunResult result = run_pack({"build", "-o", temp / "x.bin", temp / "no-such-dir"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find(temp / "no-such-dir"), std::string::npos) << result.stderr_text;
  EXPECT_EQ(run_pack({"list", temp / "nothing.bin"}).exit_status, 1);
}

TEST(PackCliTest, HeaderTextLongerThanItsFieldIsRefused) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a", "a"}});
  RunResult result = run_pack({"build", "-o", temp / "x.bin", temp / "app", "--product", std::string(64, 'P')});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("--product"), std::string::npos) << result.stderr_text;
}

TEST(PackCliTest, CompressAndDecompressRoundTrip) {
  ScopedTempDir temp;
  for (const std::string& input : {std::string(), std::string("a"), random_bytes(16385, 7),
                                   std::string(100000, 'x') + random_bytes(5000, 8)}) {
    write_file(temp / "in", input);
    ASSERT_EQ(run_pack({"compress", temp / "in", temp / "stream"}).exit_status, 0);
    RunResult result =
        run_pack({"decompress", temp / "stream", temp / "out", std::to_string(input.size())});
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    EXPECT_TRUE(read_file(temp / "out") == input) << input.size();
  }
  EXPECT_EQ(read_file(temp / "stream").size() < 10000u, true);  // the last input is mostly one byte
}

TEST(PackCliTest, DecompressRefusesAStreamCutShortAndLeavesNoOutput) {
  ScopedTempDir temp;
  const std::string input = std::string(50000, 'x') + random_bytes(20000, 3);
  write_file(temp / "in", input);
  ASSERT_EQ(run_pack({"compress", temp / "in", temp / "stream"}).exit_status, 0);
  const std::string stream = read_file(temp / "stream");
  write_file(temp / "cut", stream.substr(0, stream.size() - 100));
  RunResult result = run_pack({"decompress", temp / "cut", temp / "out", std::to_string(input.size())});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("the stream ends before 70000 bytes are decoded"), std::string::npos)
      << result.stderr_text;
  EXPECT_FALSE(std::filesystem::exists(temp / "out"));
  // More bytes than the whole stream holds is the same fault.
  result = run_pack({"decompress", temp / "stream", temp / "out", std::to_string(input.size() + 1000)});
  EXPECT_EQ(result.exit_status, 1) << result.stderr_text;
}

// Runs telo-pack with its address space limited to `megabytes`.
RunResult run_pack_limited(int megabytes, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/prlimit", "--as=" + std::to_string(megabytes << 20), "--",
                                   TELO_PACK_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

TEST(PackCliTest, RawStreamsWorkWithinAMemoryLimitOrSaySo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
  ScopedTempDir temp;
  // The empty input's stream uses no bits per symbol: it decodes to any
  // number of zeros, here far more than the limit, written as they come.
  write_file(temp / "empty", "");
  ASSERT_EQ(run_pack({"compress", temp / "empty", temp / "stream"}).exit_status, 0);
  RunResult result = run_pack_limited(64, {"decompress", temp / "stream", "/dev/null", "100000000"});
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;

  // An input larger than the limit cannot be compressed: a message, not an abort.
  write_file(temp / "big", "");
  ASSERT_EQ(::truncate((temp / "big").c_str(), 96 << 20), 0);
  result = run_pack_limited(64, {"compress", temp / "big", temp / "big.stream"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("not enough memory to compress it"), std::string::npos) << result.stderr_text;
}

TEST(PackCliTest, BuildTimeComesFromSourceDateEpoch) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a", "a"}});
  ASSERT_EQ(run_pack({"build", "-o", temp / "x.bin", temp / "app"}, {"SOURCE_DATE_EPOCH=1000000000"}).exit_status, 0);
  RunResult list = run_pack({"list", temp / "x.bin"});
  EXPECT_NE(list.stdout_text.find("build time:      2001-09-09 01:46:40 UTC (1000000000)"), std::string::npos)
      << list.stdout_text;
}

TEST(PackCliTest, ProgressIsShownOnATerminalOnly) {
  ScopedTempDir temp;
  make_tree(temp / "app", {{"a", "a"}, {"b", "b"}, {"c/d", "d"}});
  RunOptions on_terminal;
  on_terminal.use_pty = true;
  on_terminal.unset_env = {"SOURCE_DATE_EPOCH"};
  RunResult shown = run_program({TELO_PACK_PATH, "build", "-o", temp / "x.bin", temp / "app"}, on_terminal);
  EXPECT_EQ(shown.exit_status, 0) << shown.stdout_text;
  EXPECT_NE(shown.stdout_text.find("\rtelo-pack: 3/3 files, 0/0 MB\n"), std::string::npos) << shown.stdout_text;
  RunResult piped = run_pack({"build", "-o", temp / "y.bin", temp / "app"});
  EXPECT_EQ(piped.stderr_text, "");
}

// Files larger than a piece are coded on several threads and joined bit to
// bit; the joined stream must decode and must not depend on the job count.
TEST(PackCliTest, FilesOfSeveralPiecesRoundTrip) {
  ScopedTempDir temp;
  std::string text;
  for (unsigned i = 0; text.size() < (5u << 20); ++i) text += "entry " + std::to_string(i * 2654435761u % 1000003u) + "\n";
  std::vector<TreeFile> files = {
      {"big.txt", text, 0644, 1600000000},
      {"mixed.bin", random_bytes(3u << 20, 9) + text.substr(0, 1u << 20), 0600, 1600000001},
      {"noise.bin", random_bytes((2u << 20) + 1, 10), 0644, 1600000002},
  };
  make_tree(temp / "app", files);
  for (const char* jobs : {"1", "2"}) {
    std::string out = temp / (std::string("setup-") + jobs + ".bin");
    RunResult built = run_pack({"build", "-o", out, temp / "app", "--jobs", jobs, "--build-time", "1"});
    ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
  }
  EXPECT_TRUE(read_file(temp / "setup-1.bin") == read_file(temp / "setup-2.bin"));
  RunResult verified = run_pack({"verify", temp / "setup-2.bin"});
  EXPECT_EQ(verified.exit_status, 0) << verified.stderr_text;
  RunResult list = run_pack({"list", temp / "setup-2.bin"});
  EXPECT_NE(list.stdout_text.find("compressed    " + std::to_string(text.size())), std::string::npos)
      << list.stdout_text;
  EXPECT_NE(list.stdout_text.find("compressed    4194304"), std::string::npos) << list.stdout_text;
  EXPECT_NE(list.stdout_text.find("stored        2097153"), std::string::npos) << list.stdout_text;
  ASSERT_EQ(run_pack({"extract", temp / "setup-2.bin", temp / "out"}).exit_status, 0);
  EXPECT_EQ(compare_trees(files, read_tree(temp / "out")), "");
}

// Every level is reproducible whatever --jobs is, and its installer
// extracts to the tree packed; on text, a better level makes a smaller one.
TEST(PackCliTest, EveryLevelGivesOneInstallerForAnyJobsAndTheTreeBack) {
  ScopedTempDir temp;
  std::string text;
  for (unsigned i = 0; text.size() < (9u << 19); ++i) text += "entry " + std::to_string(i * 2654435761u % 1000003u) + "\n";
  const std::vector<TreeFile> files = {{"text.txt", text, 0644, 1600000000}, {"small.txt", "small", 0600, 1600000001}};
  make_tree(temp / "app", files);
  std::uintmax_t previous_size = 0;
  for (const char* level : {"fast", "reference", "best"}) {
    for (const char* jobs : {"1", "2"}) {
      const std::string out = temp / (std::string(level) + "-" + jobs + ".bin");
      RunResult built = run_pack({"build", "-o", out, temp / "app", "--level", level, "--jobs", jobs, "--build-time", "1"});
      ASSERT_EQ(built.exit_status, 0) << built.stderr_text;
    }
    const std::string one = temp / (std::string(level) + "-1.bin");
    EXPECT_TRUE(read_file(one) == read_file(temp / (std::string(level) + "-2.bin"))) << level;
    EXPECT_EQ(run_pack({"verify", one}).exit_status, 0) << level;
    const std::string out = temp / (std::string("out-") + level);
    ASSERT_EQ(run_pack({"extract", one, out}).exit_status, 0) << level;
    EXPECT_EQ(compare_trees(files, read_tree(out)), "") << level;
    const std::uintmax_t size = std::filesystem::file_size(one);
    if (previous_size != 0) {
      EXPECT_LT(size, previous_size) << level;
    }
    previous_size = size;
  }
  RunResult wrong = run_pack({"build", "-o", temp / "x.bin", temp / "app", "--level", "fastest"});
  EXPECT_EQ(wrong.exit_status, 2);
}

TEST(PackCliTest, CompressAtEveryLevelRoundTrips) {
  ScopedTempDir temp;
  const std::string input = std::string(70000, 'x') + random_bytes(30000, 4) + "tail";
  write_file(temp / "in", input);
  for (const char* level : {"fast", "reference", "best"}) {
    ASSERT_EQ(run_pack({"compress", temp / "in", temp / "stream", "--level", level}).exit_status, 0) << level;
    RunResult result = run_pack({"decompress", temp / "stream", temp / "out", std::to_string(input.size())});
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    EXPECT_TRUE(read_file(temp / "out") == input) << level;
  }
}

}  // namespace
}  // namespace telo::testing
