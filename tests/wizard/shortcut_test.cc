// Desktop entries, written by the real installer inside a private mount
// namespace, as an ordinary user and as the super-user.

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/host_installation.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/host_texts.h"

namespace telo::testing {
namespace {

constexpr const char* kStub = "/usr/local/bin/telo";
constexpr const char* kUserInstall = "/home/alice/telo";
const std::string kUserEntry = "/home/alice/Desktop/telo.desktop";
const std::string kMenuEntry = "/usr/share/applications/telo.desktop";
const std::string kRootEntry = "/root/Desktop/telo.desktop";

// Welcome, default directory, the separate-Java notice, "Files installed!".
constexpr const char* kUpToStub = "n\ny\no\nn\n";

struct FileFacts {
  bool exists = false;
  unsigned uid = 0;
  unsigned mode = 0;
};

FileFacts facts(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {true, info.st_uid, info.st_mode & 07777};
}

// Checks one written entry: its text, owner, mode, and that it validates.
void expect_entry(const HostSandbox& box, const std::string& path, const std::string& text, unsigned uid) {
  SCOPED_TRACE(path);
  std::string on_host = box.host_path(path);
  FileFacts file = facts(on_host);
  ASSERT_TRUE(file.exists);
  EXPECT_EQ(read_file(on_host), text);
  EXPECT_EQ(file.uid, uid);
  EXPECT_EQ(file.mode, 0755u);
  EXPECT_EQ(desktop_entry_problems(on_host), "");
}

TEST(DesktopEntries, OrdinaryUserGetsOwnDesktopEntryOnly) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-TELO", kUserInstall};
  run.input = std::string(kUpToStub) + "n\ny\nn\n";  // no stub, shortcut, no launch
  run.as_user = true;
  run.home = kUserHome;
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + kComplete);
  // The menu directory is not the user's to write; HOME and the password entry name the same file.
  EXPECT_FALSE(facts(box.host_path(kMenuEntry)).exists);
  expect_entry(box, kUserEntry, expected_entry(kUserInstall, std::string(kUserInstall) + "/telolnx", false),
               kUserId);
  EXPECT_EQ(box.calls(), "/bin/uname -m\n/bin/uname -m\n");  // no login name asked for
}

TEST(DesktopEntries, SuperUserWritesForItselfAndTheLoginUser) {
  HostSandbox box;
  box.set_login_name(kUserName);
  std::filesystem::create_directory(box.host_path("/root/Desktop"));
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-autonext", "-TELO", "/usr/local/telo"};
  run.home = kUserHome;  // as sudo leaves it
  RunResult result = run_in_namespace(box, installer, run);

  const std::string entry = expected_entry("/usr/local/telo", kStub, false);
  expect_entry(box, kMenuEntry, entry, 0);
  expect_entry(box, kRootEntry, entry, 0);
  // Written first through HOME as root, then again for the login user and given to them.
  expect_entry(box, kUserEntry, entry, kUserId);
  EXPECT_NE(box.calls().find("/usr/bin/logname \n"), std::string::npos);
}

TEST(DesktopEntries, SuperUserWithoutLoginNameOrDesktopWritesTheMenuEntry) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-autonext", "-TELO", "/usr/local/telo"};
  RunResult result = run_in_namespace(box, installer, run);

  expect_entry(box, kMenuEntry, expected_entry("/usr/local/telo", kStub, false), 0);
  EXPECT_FALSE(facts(box.host_path(kRootEntry)).exists);
  EXPECT_FALSE(facts(box.host_path(kUserEntry)).exists);
}

TEST(DesktopEntries, SixtyFourBitHostGetsThe32BitNames) {
  HostSandbox box;
  box.set_machine("x86_64");
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-autonext"};  // the default directory gets its "32" too
  RunResult result = run_in_namespace(box, installer, run);

  expect_entry(box, "/usr/share/applications/telo32.desktop",
               expected_entry("/usr/local/telo32", kStub, true), 0);
  EXPECT_FALSE(facts(box.host_path(kMenuEntry)).exists);
}

TEST(DesktopEntries, NoWritableTargetTerminates) {
  HostSandbox box;
  std::filesystem::remove(box.host_path("/home/alice/Desktop"));
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-TELO", kUserInstall};
  run.input = std::string(kUpToStub) + "n\ny\n";
  run.as_user = true;
  run.home = std::nullopt;
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + "Error creating shortcut\n" + kTerminated);
  EXPECT_EQ(result.exit_status, 1);
}

TEST(DesktopEntries, DeclinedWritesNothing) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-TELO", "/usr/local/telo"};
  run.input = std::string(kUpToStub) + "y\ns\no\nn\nn\n";
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kStubVariants + kVariantPrompt +
                shared_note("/usr/local/telo") + kOkCancel + kShortcutOffer + kYesNo + kLaunchOffer +
                kYesNo + kComplete);
  EXPECT_FALSE(facts(box.host_path(kMenuEntry)).exists);
}

}  // namespace
}  // namespace telo::testing
