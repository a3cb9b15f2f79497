// The directory dialog inside the real installer: typed answers, what the
// user sees, and where the files then go.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/host_texts.h"

namespace telo {
namespace {

namespace fs = std::filesystem;
using testing::kTerminated;
using testing::read_file;
using testing::RunResult;

const std::string kWelcome =
    "\n\nVORN(R) Software Installation\n\n"
    "Thanks for purchasing VORN(R) imaging products.\n\n"
    "Let's install  TELO V3.8 for Linux 32 bit software! (build 230502.213613) !\n"
    "\n[Next? Cancel?]: ";
// One file of 1048576 bytes: the dialog asks for exactly one MiByte.
const std::string kDialog =
    "\n\nPlease select a directory for installation of\n    TELO  V3.8\n"
    "requiring approximately 1.000 MiByte of space.\n";
const std::string kEnter = "\n\nEnter directory >";
const std::string kWarning = "\nSelect a different directory? [No? Yes? Cancel?]: ";
const std::string kElsewhere =
    "\n\nInstalling anywhere other than under '/usr' or '/home' directories is not recommended.\n";
const std::string kInstalling = "\n\n.... Installing files ....\n\n";

std::string offered(const std::string& directory) {
  return "\n\nDefault directory: " + directory + ".\n\nUse the default directory? [No? Yes? Cancel?]: ";
}

struct DialogRun {
  testing::HostSandbox box;
  std::string installer = box.dir / "telo-setup.bin";
  std::string contents = std::string(1 << 20, 'm');

  DialogRun() {
    testing::write_installer(installer,
                             testing::build_payload({{"telolnx", contents, METHOD_COMPRESSED, 1600000000}}).bytes());
  }
  RunResult run(const std::string& input, const std::string& cwd = "") {
    testing::SandboxRun run;
    run.args = {"-TELO", "/home/t/default"};
    run.input = input;
    run.cwd = cwd;
    return testing::run_in_namespace(box, installer, run);
  }
};

TEST(DirectoryDialog, RelativeAnswerIsInstalledBelowTheWorkingDirectory) {
  DialogRun run;
  const std::string cwd = run.box.dir / "work";
  fs::create_directories(cwd);
  // Next; No to the default; a relative name; No to the warning (keep it);
  // Cancel at the first question after extraction.
  RunResult result = run.run("n\nn\ninst\nn\nc\n", cwd);
  EXPECT_EQ(result.exit_status, 1);
  const std::string expected =
      kWelcome + kDialog + offered("/home/t/default") + kEnter + kElsewhere + kWarning + kInstalling;
  ASSERT_TRUE(result.stderr_text.starts_with(expected)) << result.stderr_text;
  EXPECT_TRUE(result.stderr_text.ends_with(kTerminated));
  EXPECT_EQ(read_file(cwd + "/inst/telolnx"), run.contents);
  EXPECT_FALSE(fs::exists(run.box.host_path("/home/t/default")));
}

TEST(DirectoryDialog, RefusalStartsOverAndTheNextAnswerIsUsed) {
  DialogRun run;
  RunResult result = run.run("n\nn\nmy dir\no\n/home/t/chosen\nc\n");
  const std::string expected =
      kWelcome + kDialog + offered("/home/t/default") + kEnter +
      "\n\nInstallation into a directory path containing spaces is not recommended.\n"
      "\nSelect a different directory! [Ok? Cancel?]: " +
      kDialog + kEnter + kInstalling;
  ASSERT_TRUE(result.stderr_text.starts_with(expected)) << result.stderr_text;
  EXPECT_EQ(read_file(run.box.host_path("/home/t/chosen/telolnx")), run.contents);
}

TEST(DirectoryDialog, EndOfInputOrCancelEndsTheInstallation) {
  const std::pair<std::string, std::string> cases[] = {
      {"n\nn\n/home/t/partial", offered("/home/t/default") + kEnter},
      {"n\nn\n", offered("/home/t/default") + kEnter},
      {"n\nc\n", offered("/home/t/default")},
      {"n\n", offered("/home/t/default")},
  };
  for (const auto& [input, dialog] : cases) {
    DialogRun run;
    RunResult result = run.run(input);
    EXPECT_EQ(result.exit_status, 1) << input;
    EXPECT_EQ(result.stderr_text, kWelcome + kDialog + dialog + kTerminated) << input;
    EXPECT_FALSE(fs::exists(run.box.host_path("/home/t"))) << input;
  }
}

}  // namespace
}  // namespace telo
