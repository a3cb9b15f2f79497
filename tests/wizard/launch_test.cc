// Launch on completion: the installer's own process becomes the shell running
// the stub (or the application), checked through the recording application,
// whose parent must be this test process since nothing forked in between.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_installation.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/host_texts.h"
#include "tests/support/target_program.h"

namespace telo::testing {
namespace {

constexpr const char* kStub = "/usr/local/bin/telo";
constexpr const char* kDir = "/usr/local/telo";
constexpr const char* kUserInstall = "/home/alice/telo";
constexpr const char* kUnamePair = "/bin/uname -m\n/bin/uname -m\n";
constexpr const char* kLognamePair = "/usr/bin/logname \n/usr/bin/logname \n";

// Welcome, default directory, the separate-Java notice, "Files installed!".
constexpr const char* kUpToStub = "n\ny\no\nn\n";

void expect_became_application(const RunResult& result, const ApplicationRun& app, unsigned uid) {
  ASSERT_TRUE(app.ran) << result.stderr_text;
  EXPECT_EQ(app.uid, uid);
  EXPECT_EQ(app.parent_pid, static_cast<long>(getpid()));
  EXPECT_EQ(result.exit_status, 7);  // the application's own
  EXPECT_EQ(result.stderr_text.find("Installation complete."), std::string::npos);
}

TEST(Launch, FullUnattendedInstallationStartsTheApplicationAsTheLoginUser) {
  HostSandbox box;
  box.set_machine("x86_64");
  box.set_login_name(kUserName);
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-autonext"};
  RunResult result = run_in_namespace(box, installer, run);

  const std::string dir = "/usr/local/telo32";
  EXPECT_EQ(text_after_files_installed(result.stderr_text, false),
            stub_offer(kStub) + kStubVariants + shared_note(dir) + kShortcutOffer + kLaunchOffer + kStarting);
  EXPECT_EQ(read_file(box.host_path(kStub)), expected_stub(dir, true));
  EXPECT_EQ(stub_problems(box.host_path(kStub)), "");
  for (const char* entry : {"/usr/share/applications/telo32.desktop", "/home/alice/Desktop/telo32.desktop"}) {
    EXPECT_EQ(read_file(box.host_path(entry)), expected_entry(dir, kStub, true)) << entry;
    EXPECT_EQ(desktop_entry_problems(box.host_path(entry)), "");
  }
  EXPECT_EQ(box.calls(), std::string(kUnamePair) + kLognamePair + "/usr/bin/sudo -u alice /bin/sh " + kStub + "\n");
  ApplicationRun app = read_application_run(box);
  expect_became_application(result, app, kUserId);
  EXPECT_EQ(app.cwd, dir);
}

TEST(Launch, OrdinaryUserRunsTheStubThroughTheShell) {
  HostSandbox box;
  // This user may write the stub directory, so the stub route is open to them.
  ASSERT_EQ(chown(box.host_path("/usr/local/bin").c_str(), kUserId, kUserId), 0);
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-autonext", "-TELO", kUserInstall};
  run.as_user = true;
  run.home = kUserHome;
  RunResult result = run_in_namespace(box, installer, run);

  ApplicationRun app = read_application_run(box);
  expect_became_application(result, app, kUserId);
  EXPECT_EQ(app.cwd, kUserInstall);
  EXPECT_EQ(box.calls(), kUnamePair);  // neither logname nor sudo
}

TEST(Launch, SuperUserRunsTheStubItselfWhenSudoOrLoginNameIsMissing) {
  struct Case {
    const char* name;
    const char* login;
    bool sudo;
    std::string calls;
  };
  const Case cases[] = {
      {"no sudo", kUserName, false, std::string(kUnamePair) + kLognamePair},
      {"no login name", "", true, std::string(kUnamePair) + kLognamePair},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSandbox box;
    box.set_login_name(c.login);
    if (!c.sudo) box.add_setup("rm -f /usr/bin/sudo");
    std::string installer = make_recording_installer(box);
    SandboxRun run;
    run.args = {"-autonext", "-TELO", kDir};
    RunResult result = run_in_namespace(box, installer, run);

    ApplicationRun app = read_application_run(box);
    expect_became_application(result, app, 0);
    EXPECT_EQ(app.cwd, kDir);
    EXPECT_EQ(box.calls(), c.calls);
  }
}

TEST(Launch, WithoutStubTheApplicationStartsInTheHomeDirectory) {
  struct Case {
    const char* name;
    bool as_user;
    const char* login;
    std::string calls;
  };
  const Case cases[] = {
      {"ordinary user", true, "", kUnamePair},
      {"super-user for the login user", false, kUserName,
       std::string(kUnamePair) + "/usr/bin/logname \n/usr/bin/sudo -u alice /bin/sh " + kDir + "/telolnx\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSandbox box;
    box.set_login_name(c.login);
    std::string installer = make_recording_installer(box);
    SandboxRun run;
    const std::string dir = c.as_user ? kUserInstall : kDir;
    run.args = {"-TELO", dir};
    run.input = std::string(kUpToStub) + "n\nn\ny\n";  // no stub, no shortcut, launch
    run.as_user = c.as_user;
    run.home = kUserHome;
    RunResult result = run_in_namespace(box, installer, run);

    EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
              stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + kStarting);
    ApplicationRun app = read_application_run(box);
    expect_became_application(result, app, kUserId);
    EXPECT_EQ(app.cwd, kUserHome);
    EXPECT_EQ(box.calls(), c.calls);
  }
}

// The installer ignores SIGPIPE for itself, and whoever started it may have
// ignored or blocked others: neither the probes nor the application keep any of it.
TEST(Launch, TheApplicationAndTheProbesStartWithDefaultSignals) {
  struct Case {
    const char* name;
    bool as_user;
    const char* login;
  };
  const Case cases[] = {
      {"ordinary user through the shell", true, ""},
      {"super-user through sudo", false, kUserName},
  };
  // Signals 1 to 31; glibc keeps 32 and 33 for itself and may leave them ignored.
  constexpr unsigned long long kUsersSignals = 0x7fffffffull;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSandbox box;
    box.set_login_name(c.login);
    ASSERT_EQ(chown(box.host_path("/usr/local/bin").c_str(), kUserId, kUserId), 0);
    // Read by the shell itself: a child reading the shell's status could catch it mid-fork.
    const std::string probe_signals = box.out_dir() + "/probe-signals";
    box.put_recording_program("uname", "while read -r key value; do case $key in SigIgn:|SigBlk:) echo \"$value\";;\n"
                                       "esac; done < /proc/$$/status >> '" + probe_signals + "'\necho " +
                                           sandbox_machine() + "\n");
    std::string installer = make_recording_installer(box);
    SandboxRun run;
    run.args = {"-autonext", "-TELO", c.as_user ? kUserInstall : kDir};
    run.as_user = c.as_user;
    run.home = kUserHome;
    // Handed down to the installer through the namespace's shell.
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &blocked, &old_mask);
    auto old_hup = ::signal(SIGHUP, SIG_IGN);
    RunResult result = run_in_namespace(box, installer, run);
    ::signal(SIGHUP, old_hup);
    ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    ApplicationRun app = read_application_run(box);
    expect_became_application(result, app, kUserId);  // sudo starts it as alice too
    EXPECT_EQ(app.ignored_signals & kUsersSignals, 0u) << std::hex << app.ignored_signals;
    EXPECT_EQ(app.blocked_signals, 0u) << std::hex << app.blocked_signals;
    // Both probes of the run, each its blocked then its ignored signals.
    std::istringstream probes(read_file(probe_signals));
    std::string blocked_line, ignored_line;
    int probe_count = 0;
    while (std::getline(probes, blocked_line) && std::getline(probes, ignored_line)) {
      ++probe_count;
      EXPECT_EQ(std::strtoull(blocked_line.c_str(), nullptr, 16), 0u) << blocked_line;
      EXPECT_EQ(std::strtoull(ignored_line.c_str(), nullptr, 16) & kUsersSignals, 0u) << ignored_line;
    }
    EXPECT_EQ(probe_count, 2);
  }
}

TEST(Launch, WithoutStubOrHomeTheInstallationEndsWithAnError) {
  HostSandbox box;
  std::string installer = make_recording_installer(box);
  SandboxRun run;
  run.args = {"-TELO", kDir};
  run.input = std::string(kUpToStub) + "n\nn\ny\n";
  run.home = std::nullopt;
  RunResult result = run_in_namespace(box, installer, run);

  EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
            stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + kStarting +
                "Error finding HOME directory\n" + kTerminated);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_FALSE(read_application_run(box).ran);
  // Everything was installed all the same.
  EXPECT_TRUE(std::filesystem::exists(box.host_path(std::string(kDir) + "/telolnx")));
}

TEST(Launch, NoLaunchEndsWithInstallationComplete) {
  struct Case {
    const char* name;
    const char* answer;
    const char* home;
    std::string after_prompt;
  };
  const Case cases[] = {
      {"declined", "n\n", "/root", kComplete},
      // The home directory cannot be entered: nothing is started, nothing reported.
      {"home missing", "y\n", "/home/nobody", kStarting + kComplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostSandbox box;
    std::string installer = make_recording_installer(box);
    SandboxRun run;
    run.args = {"-TELO", kDir};
    run.input = std::string(kUpToStub) + "n\nn\n" + c.answer;
    run.home = c.home;
    RunResult result = run_in_namespace(box, installer, run);

    EXPECT_EQ(text_after_files_installed(result.stderr_text, true),
              stub_offer(kStub) + kYesNo + kShortcutOffer + kYesNo + kLaunchOffer + kYesNo + c.after_prompt);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(read_application_run(box).ran);
  }
}

}  // namespace
}  // namespace telo::testing
