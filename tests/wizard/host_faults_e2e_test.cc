// A host that fails the installer: a target too small for the files, a
// read-only one, and an installation killed in the middle of a large file
// and run again. Run whole inside the sandbox, with the file systems mounted
// in its private namespace.

#include <gtest/gtest.h>

#include <csignal>

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

constexpr std::uint32_t kTime = 1683063373;

struct Installer {
  testing::HostSandbox box;
  std::string path = box.dir / "telo-setup.bin";

  explicit Installer(const std::vector<TestFile>& files) {
    testing::write_installer(path, testing::build_payload(files).bytes());
  }
  // Unattended, or (`typed`) answered up to extraction and cancelled at the
  // first question after it, so that the later steps leave the tree alone.
  RunResult run(const std::string& directory, bool typed = false, const std::vector<std::string>& env = {}) const {
    testing::SandboxRun run;
    run.env = env;
    run.args = {"-TELO", directory};
    if (typed) run.input = "n\ny\nc\n";
    else run.args.insert(run.args.begin(), "-autonext");
    return testing::run_in_namespace(box, path, run);
  }
  std::vector<std::string> names(const std::string& directory) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(box.host_path(directory)))
      found.push_back(fs::relative(entry.path(), box.host_path(directory)));
    std::sort(found.begin(), found.end());
    return found;
  }
};

// Each failure ends with the system's own words for it.
TEST(HostFaults, ATargetTooSmallForTheFilesSaysSo) {
  Installer installer({{"small.txt", "fits", METHOD_STORED, kTime},
                       {"large.bin", std::string(2 << 20, 'L'), METHOD_STORED, kTime}});
  installer.box.add_setup("mkdir -p /home/small && mount -t tmpfs -o size=1m tmpfs /home/small");
  RunResult result = installer.run("/home/small/telo");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.stderr_text.ends_with("Error saving data - No space left on device (err=1).\n" + kTerminated))
      << result.stderr_text;
}

TEST(HostFaults, AReadOnlyTargetSaysSo) {
  Installer installer({{"a.txt", "a", METHOD_STORED, kTime}});
  installer.box.add_setup(
      "mkdir -p /home/ro && mount -t tmpfs tmpfs /home/ro && mkdir /home/ro/telo && mount -o remount,ro /home/ro");
  RunResult result = installer.run("/home/ro/telo");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.stderr_text.ends_with("Can't create file - Read-only file system (err=5).\n" + kTerminated))
      << result.stderr_text;

  installer.box.setup_commands.clear();
  installer.box.add_setup("mkdir -p /home/ro && mount -t tmpfs -o ro tmpfs /home/ro");
  result = installer.run("/home/ro/telo");
  EXPECT_TRUE(result.stderr_text.ends_with("Can't create directory - Read-only file system (err=4).\n" + kTerminated))
      << result.stderr_text;
}

// Killed while a large file is being decoded, the installation leaves the
// files before it and nothing of the large one; run again, it completes the
// same tree with no temporary file anywhere.
TEST(HostFaults, AnInstallationKilledInALargeFileCompletesOnASecondRun) {
  const std::vector<TestFile> files = {
      {"first.txt", "first", METHOD_STORED, kTime},
      {"data/large.bin", "", METHOD_COMPRESSED, kTime, 0100644, 0, 96u << 20},
      {"last.txt", "last", METHOD_STORED, kTime},
  };
  Installer installer(files);
  // Once the first file stands, the installer (the script's own process,
  // replaced by it) is killed while it decodes the large one.
  installer.box.add_setup(
      "installer=$$; (while [ ! -e /home/t/telo/first.txt ]; do sleep 0.01; done; sleep 0.3; "
      "kill -KILL $installer) &");
  RunResult killed = installer.run("/home/t/telo", true);
  EXPECT_EQ(killed.signal, 9) << killed.stderr_text;
  EXPECT_EQ(installer.names("/home/t/telo"), (std::vector<std::string>{"data", "first.txt"}));

  installer.box.setup_commands.clear();
  RunResult again = installer.run("/home/t/telo", true);
  EXPECT_NE(again.stderr_text.find("last.txt"), std::string::npos) << again.stderr_text;
  EXPECT_EQ(again.stderr_text.find("(err="), std::string::npos) << again.stderr_text;
  EXPECT_EQ(installer.names("/home/t/telo"),
            (std::vector<std::string>{"data", "data/large.bin", "first.txt", "last.txt"}));
  EXPECT_EQ(fs::file_size(installer.box.host_path("/home/t/telo/data/large.bin")), 96u << 20);
}

// Where files are written under a temporary name from the start, an
// interruption in the middle of a file takes that temporary with it: the
// tree holds what was finished and nothing else.
TEST(HostFaults, AnInterruptedInstallationLeavesNoTemporaryWithoutNamelessFiles) {
  const std::vector<TestFile> files = {
      {"first.txt", "first", METHOD_STORED, kTime},
      {"data/large.bin", "", METHOD_COMPRESSED, kTime, 0100644, 0, 96u << 20},
      {"last.txt", "last", METHOD_STORED, kTime},
  };
  for (const char* signal_name : {"INT", "TERM"}) {
    Installer installer(files);
    installer.box.add_setup(
        std::string("installer=$$; (while [ ! -e /home/t/telo/first.txt ]; do sleep 0.01; done; sleep 0.3; "
                    "kill -") + signal_name + " $installer) &");
    RunResult stopped = installer.run("/home/t/telo", true, {"TELO_WITHOUT_TMPFILE=1"});
    EXPECT_EQ(stopped.signal, std::string(signal_name) == "INT" ? SIGINT : SIGTERM) << stopped.stderr_text;
    EXPECT_EQ(installer.names("/home/t/telo"), (std::vector<std::string>{"data", "first.txt"})) << signal_name;
  }
}

}  // namespace
}  // namespace telo
