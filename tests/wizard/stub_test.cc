// The launcher stub and the shared data folders, written by the real
// installer inside a private mount namespace.

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_installation.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/host_texts.h"

namespace telo::testing {
namespace {

constexpr const char* kDir = "/usr/local/telo";
constexpr const char* kStub = "/usr/local/bin/telo";
constexpr const char* kSharedFolders[] = {"data", "labels", "scripts", "settings", "tmp", "ini"};
const std::string kSharedDefaults = "default:user::rwx\ndefault:group::rw-\ndefault:other::rw-\n";

// Welcome, default directory, the separate-Java notice, "Files installed!".
constexpr const char* kUpToStub = "n\ny\no\nn\n";

unsigned mode_of(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

SandboxRun unattended(const std::string& directory = kDir) {
  SandboxRun run;
  run.args = {"-autonext", "-TELO", directory};
  return run;
}

SandboxRun interactive(const std::string& answers_after_files_installed) {
  SandboxRun run;
  run.args = {"-TELO", kDir};
  run.input = kUpToStub + answers_after_files_installed;
  return run;
}

TEST(LauncherStub, UnattendedWritesSharedStubAndFolders) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  RunResult result = run_in_namespace(box, installer, unattended());

  EXPECT_EQ(text_after_files_installed(result.stderr_text, false),
            stub_offer(kStub) + kStubVariants + shared_note(kDir) + kShortcutOffer + kLaunchOffer +
                kStarting);
  std::string stub = box.host_path(kStub);
  EXPECT_EQ(read_file(stub), expected_stub(kDir, true));
  EXPECT_EQ(mode_of(stub), 0755u);
  EXPECT_EQ(stub_problems(stub), "");
  for (const char* name : kSharedFolders) {
    SCOPED_TRACE(name);
    std::string folder = box.host_path(std::string(kDir) + "/" + name);
    // Everyone may write; in "tmp" only the owner may delete.
    EXPECT_EQ(mode_of(folder), std::string(name) == "tmp" ? 01777u : 0777u);
    EXPECT_EQ(default_acl(folder), kSharedDefaults);
  }
  // The stub changed into the installation directory before starting the application.
  ApplicationRun app = read_application_run(box);
  ASSERT_TRUE(app.ran);
  EXPECT_EQ(app.cwd, kDir);
  EXPECT_EQ(result.exit_status, 7);
}

TEST(LauncherStub, PassesEachArgumentOnAsOneWord) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run = unattended();
  run.input = "";
  run_in_namespace(box, installer, run);
  std::remove((box.out_dir() + "/marker").c_str());

  SandboxRun again;
  again.args = {kStub, "two words.tif", "*", "$HOME"};
  run_in_namespace(box, "/bin/sh", again);
  ApplicationRun app = read_application_run(box);
  ASSERT_TRUE(app.ran);
  EXPECT_EQ(app.args, (std::vector<std::string>{"two words.tif", "*", "$HOME"}));
}

TEST(LauncherStub, IndividualVariantChangesToTheHomeDirectory) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  RunResult result = run_in_namespace(box, installer, interactive("y\ni\nn\nn\n"));

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kStubVariants + kVariantPrompt + kShortcutOffer + kYesNo +
                kLaunchOffer + kYesNo + kComplete);
  EXPECT_EQ(result.exit_status, 0);
  std::string stub = box.host_path(kStub);
  EXPECT_EQ(read_file(stub), expected_stub(kDir, false));
  EXPECT_EQ(stub_problems(stub), "");
  for (const char* name : kSharedFolders)
    EXPECT_EQ(mode_of(box.host_path(std::string(kDir) + "/" + name)), 0u) << name << " was created";
}

TEST(LauncherStub, DeclinedOrCancelledWritesNothing) {
  struct Case {
    const char* answers;
    std::string expected_tail;
    int exit_status;
  };
  const Case cases[] = {
      {"n\nn\nn\n", stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + kComplete, 0},
      {"c\n", stub_offer(kStub) + kYesNo + kTerminated, 1},
      {"y\nc\n", stub_offer(kStub) + kYesNo + kStubVariants + kVariantPrompt + kTerminated, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers);
    HostSandbox box;
    std::string installer = make_recording_installer(box);
    RunResult result = run_in_namespace(box, installer, interactive(c.answers));
    EXPECT_EQ(text_after_files_installed(result.stderr_text, true), c.expected_tail);
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(mode_of(box.host_path(kStub)), 0u);
  }
}

TEST(LauncherStub, GoesIntoTheFirstStandardDirectoryOnPath) {
  struct Case {
    std::optional<std::string> path;
    const char* stub;
  };
  const Case cases[] = {
      {std::nullopt, "/usr/local/bin/telo"},
      {"", "/usr/local/bin/telo"},
      {"/usr/bin:/usr/local/bin", "/usr/local/bin/telo"},
      {"/sbin:/usr/bin", "/usr/bin/telo"},
      {"/usr/local/bin/:/usr/bin", "/usr/bin/telo"},
      {"/usr/local/bin2:/bin", "/bin/telo"},
      {"/opt/bin", "/usr/local/bin/telo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path ? "PATH=" + *c.path : "PATH unset");
    HostSandbox box;
    std::string installer = make_recording_installer(box);
    SandboxRun run = unattended();
    run.path = c.path;
    RunResult result = run_in_namespace(box, installer, run);
    EXPECT_NE(result.stderr_text.find(stub_offer(c.stub)), std::string::npos) << result.stderr_text;
    EXPECT_EQ(read_file(box.host_path(c.stub)), expected_stub(kDir, true));
    EXPECT_EQ(stub_problems(box.host_path(c.stub)), "");
    // The launch ran the stub where it was written.
    EXPECT_TRUE(read_application_run(box).ran);
  }
}

TEST(LauncherStub, InstallationNamedLikeTheStubGetsTheStubInside) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run = unattended(kStub);
  run.input = "n\n";  // keep the directory despite the 'bin' warning
  RunResult result = run_in_namespace(box, installer, run);

  const std::string stub = std::string(kStub) + "/telo";
  EXPECT_NE(result.stderr_text.find(stub_offer(stub)), std::string::npos) << result.stderr_text;
  EXPECT_EQ(read_file(box.host_path(stub)), expected_stub(kStub, true));
  EXPECT_EQ(stub_problems(box.host_path(stub)), "");
  ApplicationRun app = read_application_run(box);
  ASSERT_TRUE(app.ran);
  EXPECT_EQ(app.cwd, kStub);
}

// A stub from an earlier installation; it passes "kept" so its use can be seen.
const std::string kOldStub = "#!/bin/sh\nexec /usr/local/telo/telolnx kept \"$@\"\n";

void lay_old_stub(const HostSandbox& box) {
  std::string path = box.host_path(kStub);
  write_file(path, kOldStub);
  chmod(path.c_str(), 0755);
}

TEST(LauncherStub, ExistingStubKeptIsUsedByLaterSteps) {
  HostSandbox box;
  lay_old_stub(box);
  std::string installer = make_recording_installer(box);
  RunResult result = run_in_namespace(box, installer, interactive("y\ns\nn\ny\ny\n"));

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kStubVariants + kVariantPrompt + stub_exists(kStub) +
                kOverwritePrompt + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + kStarting);
  EXPECT_EQ(read_file(box.host_path(kStub)), kOldStub);
  EXPECT_EQ(mode_of(box.host_path(std::string(kDir) + "/data")), 0u);
  const std::string entry = box.host_path("/usr/share/applications/telo.desktop");
  EXPECT_EQ(read_file(entry), expected_entry(kDir, kStub, false));
  EXPECT_EQ(desktop_entry_problems(entry), "");
  ApplicationRun app = read_application_run(box);
  ASSERT_TRUE(app.ran);
  EXPECT_EQ(app.args, std::vector<std::string>{"kept"});
}

TEST(LauncherStub, ExistingStubOverwritten) {
  HostSandbox box;
  lay_old_stub(box);
  std::string installer = make_recording_installer(box);
  RunResult result = run_in_namespace(box, installer, interactive("y\ns\ny\no\nn\nn\n"));

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kStubVariants + kVariantPrompt + stub_exists(kStub) +
                kOverwritePrompt + shared_note(kDir) + kOkCancel + kShortcutOffer + kYesNo +
                kLaunchOffer + kYesNo + kComplete);
  EXPECT_EQ(read_file(box.host_path(kStub)), expected_stub(kDir, true));
  EXPECT_EQ(stub_problems(box.host_path(kStub)), "");
}

TEST(LauncherStub, LaterInstallationProposesThisOnesDirectory) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  run_in_namespace(box, installer, unattended("/usr/local/telo-first"));

  SandboxRun second;
  second.input = "n\n";  // past the welcome; input ends at the directory question
  RunResult result = run_in_namespace(box, installer, second);
  EXPECT_NE(result.stderr_text.find("\n\nDefault directory: /usr/local/telo-first.\n"), std::string::npos)
      << result.stderr_text;
}

TEST(LauncherStub, FoldersThatExistAlreadyAreLeftAlone) {
  struct Case {
    const char* name;
    std::vector<const char*> in_payload;
    bool note;
  };
  const Case cases[] = {
      {"all six", {"data", "labels", "scripts", "settings", "tmp", "ini"}, false},
      {"only tmp", {"tmp"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSandbox box;
    std::vector<TestFile> files;
    for (const char* name : c.in_payload)
      files.push_back({std::string(name) + "/readme", "x", METHOD_STORED, 1683000000, 0100644});
    std::string installer = make_recording_installer(box, files);
    RunResult result = run_in_namespace(box, installer, unattended());
    std::string tail = text_after_files_installed(result.stderr_text, false);
    EXPECT_EQ(tail.find("Note: Subdirectories") != std::string::npos, c.note) << tail;
    for (const char* name : kSharedFolders) {
      std::string folder = box.host_path(std::string(kDir) + "/" + name);
      bool extracted = false;
      for (const char* in : c.in_payload) extracted |= std::string(in) == name;
      if (!extracted) continue;
      EXPECT_EQ(mode_of(folder), 0755u) << name;
      EXPECT_EQ(default_acl(folder), "") << name;
    }
  }
}

TEST(LauncherStub, UnwritableStubDirectoryTerminates) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run = unattended("/home/alice/telo");
  run.as_user = true;
  run.home = kUserHome;
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, false),
            stub_offer(kStub) + kStubVariants + "Error creating stub - Permission denied .\n" +
                kTerminated);
  EXPECT_EQ(result.exit_status, 1);
}

// A stub that cannot be written whole is an error, not a stub that starts nothing.
TEST(LauncherStub, StubCutShortTerminates) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  // A size limit of 512 bytes lets the payload's small files through but not
  // the stub of this long directory; the ignored signal passes to the installer.
  box.add_setup("ulimit -f 1");
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  RunResult result =
      run_in_namespace(box, installer, unattended("/usr/local/telo-installed-in-a-longer-directory"));
  ::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, false),
            stub_offer(kStub) + kStubVariants + "Error creating stub - File too large .\n" +
                kTerminated);
  EXPECT_EQ(result.exit_status, 1);
}

}  // namespace
}  // namespace telo::testing
