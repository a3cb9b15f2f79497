#pragma once

// A private view of the host for whole-program runs of the installer: a
// private mount namespace in which /usr/local, /usr/share/applications,
// /root and /home are test folders, and /usr/bin (which /bin links to) and
// /etc are overlays whose changes land in test folders. Programs the
// installer starts are recording stand-ins laid over /usr/bin; sh, sed and
// setfacl stay the real ones. Needs root (unshare --mount).

#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {

// The ordinary user of the sandbox, added to its /etc/passwd.
inline constexpr unsigned kUserId = 4242;
inline constexpr const char* kUserName = "alice";
inline constexpr const char* kUserHome = "/home/alice";

struct HostSandbox {
  // Lays out the folders, the user alice (home with a Desktop folder) and
  // the stand-ins: uname and arch print a machine of the target's kind
  // ("i686" for x86 builds, "armv7l", "aarch64"), logname fails, apt-get exits
  // 100, sudo runs its command as the named user, xterm exists.
  HostSandbox();

  // Lays an executable shell script over /usr/bin/`name`.
  void put_program(const std::string& name, const std::string& script);
  // A stand-in that records "$0 $*" in calls() and then runs the shell `tail`.
  void put_recording_program(const std::string& name, const std::string& tail);
  void set_machine(const std::string& machine);      // what uname -m and arch print
  void set_login_name(const std::string& name);      // "" makes logname fail
  // Lays a file over /etc/`relative`.
  void put_etc_file(const std::string& relative, const std::string& contents);
  // A shell command run as root inside the namespace before the installer.
  void add_setup(const std::string& command);

  // Where `path` of the sandbox's view is kept on the real system (files
  // changed under /etc and /usr/bin only).
  std::string host_path(const std::string& path) const;
  std::string calls() const;           // the recording stand-ins' lines, in call order
  std::string out_dir() const;         // a folder every user may write, same path inside
  std::string setup_log() const;       // what the namespace set-up reported

  ScopedTempDir dir;
  std::vector<std::string> setup_commands;
};

struct SandboxRun {
  std::vector<std::string> args;         // after argv[0], which is the installer's path
  std::string input;                     // standard input, then its end
  bool as_user = false;                  // run as alice instead of root
  std::optional<std::string> home = "/root";
  std::optional<std::string> path = "/usr/local/bin:/usr/bin:/bin";
  std::string cwd;                       // a folder visible inside; empty: the test's own
  bool use_pty = false;                  // standard streams on a pseudo-terminal
  std::string redirections;              // shell redirections for the installer, e.g. "0<&-"
  std::vector<std::string> env;          // extra NAME=VALUE entries for the run
  bool slow_nonblocking_stderr = false;  // as RunOptions has it
  int timeout_seconds = 120;             // then the run is killed
};

// Runs `installer` (a path inside the sandbox's own folder) in a fresh namespace.
RunResult run_in_namespace(const HostSandbox& box, const std::string& installer,
                           const SandboxRun& run);

}  // namespace telo::testing
