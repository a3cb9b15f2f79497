// The installer as a user meets it: start-up, the welcome screen, the
// options and the Back/Next/Cancel loop, run on real payloads inside a
// sandbox that stands in for the host.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/namespace_sandbox.h"
#include "tests/support/payload_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/host_texts.h"

namespace telo {
namespace {

using testing::kComplete;
using testing::kFilesInstalled;
using testing::kTerminated;
using testing::RunResult;
using testing::ScopedTempDir;

const std::string kNextCancel = "\n[Next? Cancel?]: ";
constexpr std::int32_t kJan2nd2000 = 946782245;  // 2000-01-02 03:04:05 UTC

std::string banner(const std::string& stamp = "000102.030405") {
  return "\n\nVORN(R) Software Installation\n\n"
         "Thanks for purchasing VORN(R) imaging products.\n\n"
         "Let's install  TELO V3.8 for Linux 32 bit software! (build " + stamp + ") !\n";
}

struct Installer {
  testing::HostSandbox box;
  std::string path = box.dir / "telo-setup.bin";

  explicit Installer(std::vector<testing::TestFile> files = {{"telolnx", "#!/bin/sh\n"}},
                     testing::PayloadTexts texts = {}) {
    if (texts.build_time == testing::PayloadTexts{}.build_time) texts.build_time = kJan2nd2000;
    write(testing::build_payload(files, texts));
  }
  void write(const testing::BuiltPayload& payload) { testing::write_installer(path, payload.bytes()); }
  RunResult run(const std::vector<std::string>& args, const std::string& input) {
    testing::SandboxRun run;
    run.args = args;
    run.input = input;
    return testing::run_in_namespace(box, path, run);
  }
};

TEST(Welcome, CancelAndEndOfInputTerminateWithFailure) {
  Installer installer;
  for (const std::string input : {"c\n", "", "x"}) {
    RunResult result = installer.run({}, input);
    EXPECT_EQ(result.exit_status, 1) << input;
    EXPECT_EQ(result.stderr_text, banner() + kNextCancel + kTerminated) << input;
  }
}

TEST(Welcome, BuildStampPrintsEveryFieldWithTwoDigits) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {1683063373, "230502.213613"},
      {kJan2nd2000, "000102.030405"},
      {0, "700101.000000"},
  };
  for (const auto& [time, stamp] : cases) {
    testing::PayloadTexts texts;
    texts.build_time = time;
    Installer installer({}, texts);
    installer.write(testing::build_payload({}, texts));
    RunResult result = installer.run({}, "c\n");
    EXPECT_EQ(result.stderr_text, banner(stamp) + kNextCancel + kTerminated) << stamp;
  }
}

TEST(Welcome, NewReleaseAsksForADefaultInstallation) {
  Installer installer;
  const std::string prompt =
      "\nSelect default installation? [Default-auto? Selective? Cancel?]: ";
  RunResult cancelled = installer.run({"-InstallNewRelease"}, "c\n");
  EXPECT_EQ(cancelled.exit_status, 1);
  EXPECT_EQ(cancelled.stderr_text, banner() + prompt + kTerminated);

  // Selective leaves automatic mode off: the directory dialog asks.
  RunResult selective = installer.run({"-InstallNewRelease"}, "s\n");
  EXPECT_EQ(selective.stderr_text.substr(0, banner().size() + prompt.size()), banner() + prompt);
  EXPECT_NE(selective.stderr_text.find("Use the default directory? [No? Yes? Cancel?]: "),
            std::string::npos);
  EXPECT_EQ(selective.exit_status, 1);
}

TEST(Welcome, AutonextOnlyAsAWholeArgument) {
  Installer installer;
  for (const char* lookalike : {"-autonext=1", "-AUTONEXT", "--autonext"}) {
    RunResult result = installer.run({lookalike}, "c\n");
    EXPECT_EQ(result.stderr_text, banner() + kNextCancel + kTerminated) << lookalike;
  }
}

// Reaches the directory dialog and cancels there, to read its default.
std::string default_directory_shown(Installer& installer, const std::vector<std::string>& args) {
  RunResult result = installer.run(args, "n\nc\n");
  const std::string key = "Default directory: ";
  std::size_t at = result.stderr_text.find(key);
  if (at == std::string::npos) return "<none>";
  std::size_t end = result.stderr_text.find(".\n", at);
  return result.stderr_text.substr(at + key.size(), end - at - key.size());
}

TEST(StartUp, DefaultDirectoryFollowsTheHostAndTheOptions) {
  Installer installer;
  installer.box.set_machine("x86_64");
  EXPECT_EQ(default_directory_shown(installer, {}), "/usr/local/telo32");
  installer.box.set_machine("i686");
  EXPECT_EQ(default_directory_shown(installer, {}), "/usr/local/telo");
  installer.box.set_machine("aarch64");
  EXPECT_EQ(default_directory_shown(installer, {}), "/usr/local/telo");
  EXPECT_EQ(default_directory_shown(installer, {"-TELO"}), "/usr/local/telo");
  EXPECT_EQ(default_directory_shown(installer, {"-TELO", "/opt/x", "-TELO", "/opt/y"}), "/opt/x");
  const std::string longest = "/" + std::string(4094, 'd');
  EXPECT_EQ(default_directory_shown(installer, {"-TELO", longest}), longest);
}

TEST(StartUp, AnEarlierInstallationsStubSuppliesTheDefault) {
  Installer installer;
  // On a 64-bit PC the default alone would get "32"; one found this way does not.
  installer.box.set_machine("x86_64");
  testing::write_file(installer.box.host_path("/usr/local/bin/telo"),
                      "#!/bin/sh\ncd\nexec /opt/earlier/telolnx \"$@\"\n");
  EXPECT_EQ(default_directory_shown(installer, {}), "/opt/earlier");
}

TEST(StartUp, RefusesAPayloadSplitOverVolumes) {
  Installer installer;
  testing::BuiltPayload payload = testing::build_payload({});
  payload.header.volume = 0;
  testing::reseal(payload);
  installer.write(payload);
  RunResult result = installer.run({}, "");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text, "Can't find attachments (err=2).\n" + kTerminated);
}

TEST(StartUp, RefusesAHeaderThatFailsItsCrc) {
  Installer installer;
  testing::BuiltPayload payload = testing::build_payload({{"a", "x"}});
  payload.header.description[3] ^= 1;  // changed after the header was sealed
  installer.write(payload);
  RunResult result = installer.run({}, "");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text, "Attachments corrupted (3).\n" + kTerminated);
}

TEST(StartUp, WithoutAPayloadItSaysSo) {
  ScopedTempDir dir;
  testing::RunOptions options;
  RunResult result = testing::run_program({TELO_INSTALLER_PATH}, options);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text, "Can't find attachments (3).\n" + kTerminated);
}

// Started through a PATH search, argv[0] is a bare name: the installer must
// still read itself, not a file of that name in the current directory.
TEST(StartUp, FindsItselfWhenArgv0IsNoUsablePath) {
  Installer installer;
  testing::write_file(installer.box.dir / "telo-setup.bin.decoy", "not an installer");
  testing::RunOptions options;
  options.stdin_text = "c\n";
  options.cwd = installer.box.dir.path;
  testing::write_file(installer.box.dir / "telo-setup", "a decoy with the bare name");
  for (const std::string argv0 : {"telo-setup", "/nonexistent/telo-setup"}) {
    RunResult result = testing::run_program_as(installer.path, {argv0}, options);
    EXPECT_EQ(result.exit_status, 1) << argv0;
    EXPECT_EQ(result.stderr_text, banner() + kNextCancel + kTerminated) << argv0;
  }
}

const std::string kBackNextCancel = "\n[Back? Next? Cancel?]: ";

TEST(Wizard, BackFromTheExistingDirectoryWarningReturnsToTheDialog) {
  testing::PayloadTexts texts;
  texts.java_runtime = "jre1.6.0 04";
  Installer installer({{"telolnx", "#!/bin/sh\n"}}, texts);
  std::string target = installer.box.dir / "existing";
  std::filesystem::create_directories(target);
  // Next, default dir kept despite the /tmp warning, Back, the same again,
  // Cancel at the existing-directory warning.
  RunResult result = installer.run({"-TELO", target}, "n\ny\nn\nb\ny\nn\nc\n");
  EXPECT_EQ(result.exit_status, 1);
  const std::string warning = "\n\nThe directory \n    " + target + "\nalready exists!\n";
  std::size_t first = result.stderr_text.find(warning);
  ASSERT_NE(first, std::string::npos) << result.stderr_text;
  std::size_t second = result.stderr_text.find(warning, first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(result.stderr_text.find("Please select a directory", first), std::string::npos);
  EXPECT_EQ(result.stderr_text.substr(result.stderr_text.size() - kBackNextCancel.size() - kTerminated.size()),
            kBackNextCancel + kTerminated);
  // Without a private Java runtime in the payload there is no warning.
  Installer plain;
  RunResult quiet = plain.run({"-TELO", target}, "n\ny\nn\n");
  EXPECT_EQ(quiet.stderr_text.find("already exists!"), std::string::npos);
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Wizard, BackAtFilesInstalledShowsTheScreenAgainAndCompletionExitsWithZero) {
  Installer installer;
  std::string target = installer.box.dir / "app";
  // Next; default directory, kept despite the /tmp warning; Ok to the Java
  // notice; Back twice and Next at the files screen; then No to the stub, the desktop shortcut and the start of the application.
  RunResult result = installer.run({"-TELO", target}, "n\ny\nn\no\nb\nb\nn\nn\nn\nn\n");
  EXPECT_EQ(count_of(result.stderr_text, kFilesInstalled + kBackNextCancel), 3u) << result.stderr_text;
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_TRUE(result.stderr_text.ends_with(kComplete)) << result.stderr_text;
  EXPECT_EQ(testing::read_file(target + "/telolnx"), "#!/bin/sh\n");
}

TEST(Wizard, AutonextInstallsWithoutQuestions) {
  Installer installer;
  // Under the sandbox's /home, so that the directory dialog has nothing to warn about.
  std::string target = "/home/t/auto";
  // The payload's application records its start, proving the whole road ran.
  installer.write(testing::build_payload(
      {{"telolnx", "#!/bin/sh\necho started > \"$(dirname \"$0\")/started\"\n", METHOD_STORED, 1, 0100755}}));
  RunResult result = installer.run({"-autonext", "-TELO", target}, "");
  EXPECT_EQ(result.stderr_text.find("[Next? Cancel?]"), std::string::npos) << result.stderr_text;
  EXPECT_EQ(result.stderr_text.find("Installation terminated."), std::string::npos) << result.stderr_text;
  EXPECT_EQ(testing::read_file(installer.box.host_path(target + "/started")), "started\n");
}

}  // namespace
}  // namespace telo
