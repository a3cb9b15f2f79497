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
  unsigned type = 0;  // S_IFREG, S_IFLNK, ... of the name itself
};

FileFacts facts(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {true, info.st_uid, info.st_mode & 07777, 0};
}

// The name itself, not what a link leads to.
FileFacts name_facts(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return {};
  return {true, info.st_uid, info.st_mode & 07777, info.st_mode & S_IFMT};
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

// What alice may plant in her own Desktop folder before the super-user
// installs for her: root neither follows, opens, changes nor waits on it,
// says so, and goes on.
TEST(DesktopEntries, WhatTheUserPlantedIsLeftAloneAndTheStepGoesOn) {
  const std::string folder_refused = "Shortcut skipped: /home/alice/Desktop is a link or not a folder.\n";
  const std::string file_refused =
      "Shortcut skipped: " + kUserEntry + " is a link, a special file or not its owner's.\n";
  const std::string chown_alice = "chown -h " + std::to_string(kUserId) + ":" + std::to_string(kUserId) + " ";
  struct Case {
    const char* name;
    std::string plant;    // run as root in the namespace, before the installer
    std::string planted;  // the planted name, as it must be left
    unsigned type;
    unsigned mode;        // of the planted name
    std::string said;     // once for HOME's Desktop, once for the login user's
  };
  const Case cases[] = {
      {"a link to a root file", "ln -s /etc/telo-secret " + kUserEntry + " && " + chown_alice + kUserEntry,
       kUserEntry, S_IFLNK, 0777, file_refused},
      {"a link as the Desktop folder",
       "rmdir /home/alice/Desktop && ln -s /usr/local/victim /home/alice/Desktop && " + chown_alice +
           "/home/alice/Desktop",
       "/home/alice/Desktop", S_IFLNK, 0777, folder_refused},
      {"a FIFO nobody reads", "mkfifo -m 0644 " + kUserEntry + " && " + chown_alice + kUserEntry, kUserEntry,
       S_IFIFO, 0644, file_refused},
      {"a FIFO with a reader waiting",
       "mkfifo -m 0644 " + kUserEntry + " && " + chown_alice + kUserEntry +
           " && (timeout 20 cat " + kUserEntry + " > /home/fifo-read 2>/dev/null < /dev/null 9>&- &)",
       kUserEntry, S_IFIFO, 0644, file_refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSandbox box;
    box.set_login_name(kUserName);
    box.put_etc_file("telo-secret", "root's only\n");
    box.add_setup("chmod 0600 /etc/telo-secret && mkdir /usr/local/victim && " + c.plant);
    std::string installer = make_recording_installer(box);
    SandboxRun run;
    run.args = {"-TELO", "/usr/local/telo"};
    run.input = std::string(kUpToStub) + "n\ny\nn\n";  // no stub, shortcut, no launch
    run.home = kUserHome;                                 // as sudo leaves it
    run.timeout_seconds = 30;
    RunResult result = run_in_namespace(box, installer, run);

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
              stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + c.said + c.said + kLaunchOffer + kYesNo +
                  kComplete);
    EXPECT_EQ(result.exit_status, 0);
    expect_entry(box, kMenuEntry, expected_entry("/usr/local/telo", "/usr/local/telo/telolnx", false), 0);
    FileFacts planted = name_facts(box.host_path(c.planted));
    EXPECT_EQ(planted.type, c.type);
    EXPECT_EQ(planted.uid, kUserId);
    if (c.type != S_IFLNK) {
      EXPECT_EQ(planted.mode, c.mode);
    }
    const std::string secret = box.host_path("/etc/telo-secret");
    EXPECT_EQ(read_file(secret), "root's only\n");
    EXPECT_EQ(facts(secret).uid, 0u);
    EXPECT_EQ(facts(secret).mode, 0600u);
    EXPECT_TRUE(std::filesystem::is_empty(box.host_path("/usr/local/victim")));
    const std::string read_from_fifo = box.host_path("/home/fifo-read");
    if (std::filesystem::exists(read_from_fifo)) {
      EXPECT_EQ(read_file(read_from_fifo), "");
    }
  }
}

// An entry alice already has, unreadable to others, is rewritten as hers.
TEST(DesktopEntries, TheLoginUsersEarlierEntryIsRewrittenAsTheirs) {
  HostSandbox box;
  box.set_login_name(kUserName);
  const std::string on_host = box.host_path(kUserEntry);
  write_file(on_host, "[Desktop Entry]\nName=old and much longer than the new one will be ... ... ...\n");
  ASSERT_EQ(chown(on_host.c_str(), kUserId, kUserId), 0);
  ASSERT_EQ(chmod(on_host.c_str(), 0600), 0);
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-autonext", "-TELO", "/usr/local/telo"};
  run.home = "/root";
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(result.stderr_text.find("Shortcut skipped"), std::string::npos) << result.stderr_text;
  expect_entry(box, kUserEntry, expected_entry("/usr/local/telo", kStub, false), kUserId);
}

// An ordinary user's run can be steered only into what that user may write:
// a Desktop folder that links elsewhere in their home still gets the entry.
TEST(DesktopEntries, AnOrdinaryUsersDesktopMayBeALink) {
  HostSandbox box;
  std::filesystem::remove(box.host_path("/home/alice/Desktop"));
  box.add_setup("mkdir /home/alice/Schreibtisch && ln -s Schreibtisch /home/alice/Desktop && "
                "chown -h 4242:4242 /home/alice/Schreibtisch /home/alice/Desktop");
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-TELO", kUserInstall};
  run.input = std::string(kUpToStub) + "n\ny\nn\n";
  run.as_user = true;
  run.home = kUserHome;
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + kComplete);
  expect_entry(box, "/home/alice/Schreibtisch/telo.desktop",
               expected_entry(kUserInstall, std::string(kUserInstall) + "/telolnx", false), kUserId);
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
