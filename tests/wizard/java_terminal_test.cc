// The Java runtime and terminal emulator checks, run in the real installer
// inside a private mount namespace with a recording package tool.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_installation.h"
#include "tests/support/namespace_sandbox.h"
#include "tests/support/target_program.h"

namespace telo::testing {
namespace {

constexpr const char* kDir = "/usr/local/telo";
constexpr const char* kUname = "/bin/uname -m\n";

const std::string kArmDetected =
    "\n\nTELO software uses Java technology, but does not include Java.\n"
    "A Java Runtime Environment (JRE) has been detected on this system.\n\n";
const std::string kArmOffer =
    "\n\nTELO software uses Java technology; this distribution doesn't include\n"
    "Java.  A Java Runtime Environment (JRE) has not been detected on\n"
    "this system. The JRE can be installed later, using system tools,\n"
    "or the JRE can be installed now (requires network access).\n\n";
const std::string kJreFailed = "\n\nUnable to install Java JRE; install later using system tools.\n\n";
const std::string kNoJavaInDistribution =
    "\n\nTELO software uses Java technology.  This distribution does not\n"
    "include Java technology, but suitable as a service pack for a\n"
    "previously installed  TELO, or for use on systems that have Java\n"
    "installed separately.\n\n";
const std::string kPrivateJava =
    "A previous TELO and Java installed for its private use has\n"
    "been found.  Install TELO, configured to use the existing\n"
    "private Java?\n";
const std::string kSeparateJava =
    "Java is or will be installed separately, such as from \n"
    "www.java.com (TELO is tested using Sun/Oracle Java, and may\n"
    "not operate properly using other Java technology).\n"
    "Install TELO, configured to use the separate Java?\n";
const std::string kTerminalOffer =
    "\n\nTELO might use 'xterm' (along with interactive prompts via 'sudo'), as a proxy\n"
    "to install drivers without requiring that all of TELO be run as super-user.\n"
    "The 'xterm' (or 'lxterm') can be installed now (requires network access).\n";
const std::string kTerminalFailed =
    "\n\nUnable to install 'xterm' or 'lxterm'; install later using system tools.\n\n";
const std::string kTerminated = "\n\nInstallation terminated.\n";

const std::string kOk = prompt_text("", "Ok?");
const std::string kProceed = prompt_text("Proceed?", "Ok? Cancel?");
const std::string kInstallJre = prompt_text("Install JRE?", "No? Yes?");

const std::string kAccessibility =
    "assistive.technologies=org.GNOME.Accessibility.AtkWrapper\n"
    "screen_magnifier_present=true\n"
    "  assistive.technologies=indented\n";
const std::string kAccessibilityEdited =
    "#assistive.technologies=org.GNOME.Accessibility.AtkWrapper\n"
    "screen_magnifier_present=true\n"
    "  assistive.technologies=indented\n";

enum class Java { kPresent, kAbsent, kDirectory };
enum class Terminal { kXterm, kLxtermOnly, kNone, kXtermDirectory };

struct Case {
  const char* name;
  const char* machine;            // null: the sandbox's own, of the build's kind
  Java java;
  Terminal terminal;
  const char* own_runtime;        // the payload's java_runtime
  std::vector<TestFile> private_java;
  bool autonext;
  const char* answers;            // to the Java and terminal prompts
  const char* apt_get;            // the package tool's behaviour (shell)
  std::string expected_text;      // printed between extraction and "Files installed!"
  std::string expected_calls;     // the stand-ins' record, logname left out
  bool edits_accessibility;
};

std::string apt(const std::string& words) { return "/bin/apt-get " + words + "\n"; }

std::vector<Case> cases() {
  const std::string two_probes = std::string(kUname) + kUname;
  const char* fails = "exit 100\n";
  const char* works = "exit 0\n";
  const std::vector<TestFile> jre = {{"jre/bin/java", "#!/bin/sh\n", METHOD_STORED, 1683000000, 0100755}};
  const std::vector<TestFile> program_bin = {{"program/bin/telo.jar", "jar", METHOD_STORED, 1683000000, 0100644}};
  const char* own = "jre1.8.0_202";
  return {
      {"arm_host_with_java", "aarch64", Java::kPresent, Terminal::kXterm, "", {}, false, "o\n", fails,
       kArmDetected + kOk, two_probes, false},
      {"arm_host_gets_jre_unattended", "aarch64", Java::kAbsent, Terminal::kXterm, "", {}, true, "", works,
       kArmOffer, two_probes + apt("update -y") + apt("install openjdk-8-jre -y"), true},
      {"arm7l_host_gets_default_jre", "arm7l", Java::kAbsent, Terminal::kXterm, "", {}, false, "y\n", works,
       kArmOffer + kInstallJre, two_probes + apt("update") + apt("install default-jre"), true},
      {"arm_jre_install_fails", "AArch64", Java::kAbsent, Terminal::kXterm, "", {}, false, "y\no\n", fails,
       kArmOffer + kInstallJre + kJreFailed + kOk,
       two_probes + apt("update") + apt("install openjdk-8-jre"), false},
      {"arm_jre_declined", "aarch64", Java::kAbsent, Terminal::kXterm, "", {}, false, "n\n", works,
       kArmOffer + kInstallJre, two_probes, false},
      {"java_directory_is_no_runtime", "aarch64", Java::kDirectory, Terminal::kXterm, "", {}, false, "n\n",
       works, kArmOffer + kInstallJre, two_probes, false},
      // What a 32-bit ARM kernel reports: the same branch and package as "arm7l".
      {"armv7l_host_gets_default_jre", "armv7l", Java::kAbsent, Terminal::kXterm, "", {}, true, "", works,
       kArmOffer, two_probes + apt("update -y") + apt("install default-jre -y"), true},
      // Other ARM generations are not among the hosts the branch names.
      {"armv6l_host_is_not_arm", "armv6l", Java::kAbsent, Terminal::kXterm, "", {}, false, "o\n", works,
       kNoJavaInDistribution + kSeparateJava + kProceed, two_probes, false},
      {"x86_separate_java", "i686", Java::kAbsent, Terminal::kXterm, "", {}, false, "o\n", works,
       kNoJavaInDistribution + kSeparateJava + kProceed, two_probes, false},
      {"x86_private_jre", "i686", Java::kPresent, Terminal::kXterm, "", jre, false, "o\n", works,
       kNoJavaInDistribution + kPrivateJava + kProceed, two_probes, false},
      {"x86_private_program_bin", "x86_64", Java::kPresent, Terminal::kXterm, "", program_bin, false, "o\n",
       works, kNoJavaInDistribution + kPrivateJava + kProceed, two_probes, false},
      {"x86_own_runtime_is_silent", "i686", Java::kAbsent, Terminal::kXterm, own, {}, true, "", works, "",
       two_probes, false},
      {"x86_cancel_at_proceed", "i686", Java::kPresent, Terminal::kXterm, "", {}, false, "c\n", works,
       kNoJavaInDistribution + kSeparateJava + kProceed + kTerminated, two_probes, false},
      {"lxterm_alone_is_enough", "i686", Java::kPresent, Terminal::kLxtermOnly, own, {}, false, "", works, "",
       two_probes, false},
      {"no_terminal_both_installs_fail", "i686", Java::kPresent, Terminal::kNone, own, {}, false, "o\no\n",
       fails, kTerminalOffer + kProceed + kTerminalFailed + kOk,
       two_probes + apt("update") + apt("install xterm") + apt("install lxterm"), false},
      {"xterm_fails_lxterm_installs", "i686", Java::kPresent, Terminal::kNone, own, {}, false, "o\n",
       "case \"$2\" in xterm) exit 100;; esac\nexit 0\n", kTerminalOffer + kProceed,
       two_probes + apt("update") + apt("install xterm") + apt("install lxterm"), false},
      {"no_terminal_unattended", "i686", Java::kPresent, Terminal::kXtermDirectory, own, {}, true, "", works,
       kTerminalOffer, two_probes + apt("update -y") + apt("install xterm -y") + apt("install lxterm -y"),
       false},
      {"no_terminal_cancel", "i686", Java::kPresent, Terminal::kNone, own, {}, false, "c\n", works,
       kTerminalOffer + kProceed + kTerminated, two_probes, false},
  };
}

std::string without_login_probes(const std::string& calls) {
  std::string kept;
  std::string::size_type start = 0;
  while (start < calls.size()) {
    std::string::size_type end = calls.find('\n', start);
    end = end == std::string::npos ? calls.size() : end + 1;
    std::string line = calls.substr(start, end - start);
    if (line.rfind("/usr/bin/logname", 0) != 0) kept += line;
    start = end;
  }
  return kept;
}

void prepare(HostSandbox& box, const Case& c) {
  if (c.machine != nullptr) box.set_machine(c.machine);
  box.put_recording_program("apt-get", c.apt_get);
  box.put_etc_file("java-8-openjdk/accessibility.properties", kAccessibility);
  if (c.java != Java::kPresent) box.add_setup("rm -f /usr/bin/java");
  if (c.java == Java::kDirectory) box.add_setup("mkdir /usr/bin/java");
  if (c.terminal != Terminal::kXterm) box.add_setup("rm -f /usr/bin/xterm");
  if (c.terminal == Terminal::kLxtermOnly) box.put_program("lxterm", "#!/bin/sh\nexit 0\n");
  if (c.terminal == Terminal::kXtermDirectory) box.add_setup("mkdir /usr/bin/xterm");
}

void run_case(const Case& c) {
  SCOPED_TRACE(c.name);
  HostSandbox box;
  prepare(box, c);
  PayloadTexts texts;
  texts.java_runtime = c.own_runtime;
  std::string installer = make_recording_installer(box, c.private_java, texts);
  SandboxRun run;
  run.args = {"-TELO", kDir};
  if (c.autonext) run.args.insert(run.args.begin(), "-autonext");
  // Welcome and the default directory; input then ends at "Files installed!".
  run.input = c.autonext ? "" : std::string("n\ny\n") + c.answers;
  RunResult result = run_in_namespace(box, installer, run);
  ASSERT_FALSE(result.timed_out) << result.stderr_text;
  EXPECT_EQ(text_before_files_installed(result.stderr_text), c.expected_text) << box.setup_log();
  EXPECT_EQ(without_login_probes(box.calls()), c.expected_calls);
  std::string properties = read_file(box.host_path("/etc/java-8-openjdk/accessibility.properties"));
  EXPECT_EQ(properties, c.edits_accessibility ? kAccessibilityEdited : kAccessibility);
}

TEST(JavaAndTerminal, EachSituationPrintsAndInstallsItsOwnWay) {
  for (const Case& c : cases()) run_case(c);
}

// Unattended on the machine the build is for, as the sandbox reports it by
// default: x86 builds see the separate-Java notice, ARM builds install the
// runtime package of their kind.
TEST(JavaAndTerminal, TheBuildsOwnKindOfHostTakesItsBranch) {
  const std::string machine = sandbox_machine();
  const std::string two_probes = std::string(kUname) + kUname;
  Case c{"own_host", nullptr, Java::kAbsent, Terminal::kXterm, "", {}, true, "", "exit 0\n",
         kNoJavaInDistribution + kSeparateJava, two_probes, false};
  if (machine == "armv7l" || machine == "aarch64") {
    c.expected_text = kArmOffer;
    c.expected_calls = two_probes + apt("update -y") +
                       apt(machine == "armv7l" ? "install default-jre -y" : "install openjdk-8-jre -y");
    c.edits_accessibility = true;
  } else {
    EXPECT_EQ(machine, "i686");
  }
  run_case(c);
}

}  // namespace
}  // namespace telo::testing
