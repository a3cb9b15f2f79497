// The installer started in unkind ways: an option it cannot honour, its
// standard streams closed or cut off, a header whose texts fill their
// fields. Run whole inside the sandbox.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/host_texts.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::kTerminated;
using testing::RunResult;
using testing::TestFile;

const std::vector<TestFile> kFiles = {
    {"telolnx", "#!/bin/sh\nexit 0\n", METHOD_STORED, 1683063373, 0100755},
    {"program/a.txt", std::string(30000, 'a'), METHOD_COMPRESSED, 1683063373},
    {"program/b.txt", "bee", METHOD_STORED, 1683063373},
};

// kFiles and enough more that the progress lines fill a pipe or a page many times over.
std::vector<TestFile> many_files() {
  std::vector<TestFile> files = kFiles;
  for (int i = 0; i < 150; ++i)
    files.push_back({"program/many/a-file-with-a-rather-long-name-" + std::to_string(i) + ".txt", "x"});
  return files;
}

struct Installer {
  testing::HostSandbox box;
  std::string path = box.dir / "telo-setup.bin";
  testing::BuiltPayload payload = testing::build_payload(kFiles);

  RunResult run(const std::vector<std::string>& args, const std::string& input,
                const std::string& redirections = "", bool slow_stderr = false) {
    testing::write_installer(path, payload.bytes());
    testing::SandboxRun run;
    run.args = args;
    run.input = input;
    run.redirections = redirections;
    run.slow_nonblocking_stderr = slow_stderr;
    return testing::run_in_namespace(box, path, run);
  }
  // Everything an unattended run leaves besides the files: the stub and the menu entry.
  bool completed(const std::string& directory) const {
    return installed_whole(directory) && fs::exists(box.host_path("/usr/local/bin/telo")) &&
           !fs::is_empty(box.host_path("/usr/share/applications"));
  }
  bool installed_whole(const std::string& directory) const {
    for (const TestFile& file : kFiles) {
      const std::string at = box.host_path(directory + "/" + file.path);
      if (!fs::exists(at) || testing::read_file(at) != file.contents) return false;
    }
    return true;
  }
};

TEST(HostileStart, ATeloDirectoryTooLongEndsTheRunBeforeAnythingIsWritten) {
  Installer installer;
  const std::string too_long = "/home/" + std::string(4090, 'd');  // 4096 characters
  RunResult result = installer.run({"-autonext", "-TELO", too_long}, "");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text,
            "The directory given with -TELO is too long (at most 4095 characters).\n" + kTerminated);
  for (const char* path : {"/usr/local/telo", "/usr/local/telo32", "/usr/local/bin/telo"})
    EXPECT_FALSE(fs::exists(installer.box.host_path(path))) << path;
  EXPECT_TRUE(fs::is_empty(installer.box.host_path("/usr/share/applications")));
  EXPECT_EQ(installer.box.calls().find("apt-get"), std::string::npos);
}

TEST(HostileStart, AClosedStandardInputIsTheEndOfInput) {
  Installer installer;
  // Opening its own file would otherwise take descriptor 0, and the prompt
  // would read the payload as answers: this first record's header length
  // (1134, stored as 'n', 4, 0, 0) would say Next.
  const std::string path = "program/" + std::string(1134 - 38 - 1 - 8, 'x');
  installer.payload = testing::build_payload({{path, "x"}});
  RunResult result = installer.run({}, "", "0<&-");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.stderr_text.ends_with("\n[Next? Cancel?]: " + kTerminated)) << result.stderr_text;
  EXPECT_EQ(std::count(result.stderr_text.begin(), result.stderr_text.end(), '['), 1);
}

TEST(HostileStart, ClosedOutputStreamsLeaveTheFilesAsPacked) {
  Installer installer;
  RunResult result = installer.run({"-autonext", "-TELO", "/home/t/telo"}, "", "1>&- 2>&-");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(installer.installed_whole("/home/t/telo"));
}

TEST(HostileStart, AReaderThatLeavesStandardErrorEndsTheRunAtTheNextPrompt) {
  Installer installer;
  const std::string fifo = installer.box.dir / "stderr.fifo";
  // The reader stops once extraction has begun; what the installer writes
  // after that meets a closed pipe.
  installer.box.add_setup("mkfifo '" + fifo + "'");
  installer.box.add_setup("/bin/sed -n '/Installing files/q' < '" + fifo + "' > /dev/null &");
  // The probes after extraction wait a little, so the reader has surely
  // gone before the installer writes again.
  installer.box.put_program("uname", "#!/bin/sh\nsleep 0.3\necho i686\n");
  RunResult result = installer.run({"-autonext", "-TELO", "/home/t/telo"}, "", "2> '" + fifo + "'");
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(installer.installed_whole("/home/t/telo"));
  EXPECT_FALSE(fs::exists(installer.box.host_path("/usr/local/bin/telo")));
}

// A log that cannot be written is no reason to stop an unattended run: the
// messages are lost, the installation is not.
TEST(HostileStart, AStandardErrorOnAFullDeviceDoesNotStopAnUnattendedRun) {
  struct Case {
    const char* name;
    const char* setup;
    const char* redirections;
  };
  const Case cases[] = {
      {"full device", "", "2>/dev/full"},
      // The log fills its one-page file system during extraction.
      {"log on a full file system", "mkdir -p /home/log && mount -t tmpfs -o size=4k tmpfs /home/log",
       "2>/home/log/install.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installer installer;
    installer.payload = testing::build_payload(many_files());
    if (*c.setup != '\0') installer.box.add_setup(c.setup);
    RunResult result = installer.run({"-autonext", "-TELO", "/home/t/telo"}, "", c.redirections);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0) << installer.box.calls();
    EXPECT_TRUE(installer.completed("/home/t/telo"));
  }
}

// A non-blocking standard error whose reader is slow answers EAGAIN again and
// again; the installer waits for it and loses not one byte.
TEST(HostileStart, ASlowNonBlockingReaderOfStandardErrorGetsEveryByte) {
  Installer plain;
  plain.payload = testing::build_payload(many_files());
  RunResult expected = plain.run({"-autonext", "-TELO", "/home/t/telo"}, "");
  ASSERT_EQ(expected.exit_status, 0);
  Installer slow;
  slow.payload = plain.payload;
  RunResult result = slow.run({"-autonext", "-TELO", "/home/t/telo"}, "", "", true);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.stderr_text, expected.stderr_text);
  EXPECT_GT(result.stderr_text.size(), 4u * 4096u);  // several times what the pipe holds
  EXPECT_TRUE(slow.completed("/home/t/telo"));
}

TEST(HostileStart, HeaderTextsThatFillTheirFieldPrintOnlyTheirField) {
  Installer installer;
  std::memset(installer.payload.header.product_name, 'P', sizeof installer.payload.header.product_name);
  std::memset(installer.payload.header.description, 'D', sizeof installer.payload.header.description);
  testing::reseal(installer.payload);
  RunResult result = installer.run({}, "c\n");
  const std::string expected = "Let's install  " + std::string(64, 'P') + " V3.8 " + std::string(64, 'D') +
                               " software! (build 230502.213613) !\n";
  EXPECT_NE(result.stderr_text.find(expected), std::string::npos) << result.stderr_text;
  EXPECT_EQ(result.exit_status, 1);
}

}  // namespace
}  // namespace telo
