#include "sysenv/process.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::read_file;
using testing::ScopedTempDir;
using testing::write_file;

// Writes an executable shell script and returns its path.
std::string make_script(const ScopedTempDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir / name;
  write_file(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

// A program that prints `answer` verbatim (printf %s keeps it free of escapes).
std::string make_answer_script(const ScopedTempDir& dir, const std::string& name,
                               const std::string& answer) {
  write_file(dir / (name + ".txt"), answer);
  return make_script(dir, name, "cat '" + dir / (name + ".txt") + "'\n");
}

TEST(RunCommand, ReturnsTheExitStatusByte) {
  ScopedTempDir dir;
  std::string three = make_script(dir, "three", "exit 3\n");
  std::string killed = make_script(dir, "killed", "kill -9 $$\n");
  EXPECT_EQ(run_command("/bin/true", "true"), 0);
  EXPECT_EQ(run_command("/bin/false", "false"), 1);
  EXPECT_EQ(run_command((dir / "missing").c_str(), "missing"), 1);
  EXPECT_EQ(run_command(three.c_str(), "three"), 3);
  // Only the exit-status byte is looked at; a signal leaves it 0.
  EXPECT_EQ(run_command(killed.c_str(), "killed"), 0);
}

TEST(RunCommand, PassesWordsUnchangedUpToTheFirstNull) {
  ScopedTempDir dir;
  std::string out = dir / "args.out";
  std::string script = make_script(
      dir, "args", "printf '%s|' \"$0\" \"$@\" > '" + out + "'\n");
  // No shell in between: blanks, quotes and $ reach the program as typed.
  ASSERT_EQ(run_command(script.c_str(), "name", "a b", "$HOME", "'q'", "*"), 0);
  EXPECT_EQ(read_file(out), script + "|a b|$HOME|'q'|*|");
  ASSERT_EQ(run_command(script.c_str(), "name", "one", nullptr, "lost"), 0);
  EXPECT_EQ(read_file(out), script + "|one|");
}

TEST(RunCommand, DoesNotSearchPath) {
  EXPECT_EQ(run_command("true", "true"), 1);
}

// The installer ignores SIGPIPE and blocks nothing a child should inherit:
// the package tool and the probes start with default dispositions and no mask.
TEST(RunCommand, ChildStartsWithDefaultSignalsAndEmptyMask) {
  ScopedTempDir dir;
  std::string check = make_script(
      // SIGPIPE is bit 12 of SigIgn (glibc's spawn leaves its own internal
      // signals 32 and 33 ignored, which no program of ours relies on).
      dir, "signals", "exec grep -c -x -e 'SigIgn:.*[02468ace][0-9a-f][0-9a-f][0-9a-f]' -e 'SigBlk:[[:space:]]*0*' /proc/self/status"
                      " > '" + (dir / "count") + "'\n");
  auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &blocked, &old_mask);
  int status = run_command(check.c_str(), "signals");
  char line[64];
  ProbeProgram probe[] = {{check.c_str(), "signals", nullptr}};
  int probed = probe_first_line(probe, 1, true, line, sizeof line);
  ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  ::signal(SIGPIPE, old_pipe);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(dir / "count"), "2\n");
  EXPECT_EQ(probed, 1);
}

struct X86Case {
  const char* answer;
  int expected;
};

TEST(MachineProbe, ReadsTheFirstLineOfTheAnswer) {
  constexpr X86Case kCases[] = {
      {"x86_64\n", 1}, {"X86_64\n", 1}, {"x86-64\n", 1}, {"X86-64", 1},
      {"i686\n", 0},   {"armv7l\n", 0}, {"\n", 0},       {"", 0},
      {"x86_64 \n", 0}, {"x86_64\nsecond line\n", 1},  {"x86_6\n", 0},
  };
  ScopedTempDir dir;
  for (const X86Case& c : kCases) {
    std::string program = make_answer_script(dir, "uname", c.answer);
    ProbeProgram table[] = {{program.c_str(), "uname", "-m"}};
    EXPECT_EQ(is_x86_64_host_with(table, 1), c.expected) << '"' << c.answer << '"';
  }
}

TEST(MachineProbe, KeepsAtMost63Characters) {
  ScopedTempDir dir;
  std::string line(70, 'm');
  std::string program = make_answer_script(dir, "uname", line + "\n");
  ProbeProgram table[] = {{program.c_str(), "uname", "-m"}};
  char buffer[64];
  ASSERT_EQ(probe_first_line(table, 1, true, buffer, sizeof buffer), 1);
  EXPECT_EQ(std::string(buffer), line.substr(0, 63));
}

TEST(MachineProbe, TriesProgramsInOrderAndFailsOnBadStatus) {
  ScopedTempDir dir;
  std::string good = make_answer_script(dir, "arch", "x86_64\n");
  std::string failing = make_script(dir, "failing", "echo x86_64; exit 2\n");
  std::string missing = dir / "missing";
  ProbeProgram fallback[] = {{missing.c_str(), "uname", "-m"}, {good.c_str(), "arch", nullptr}};
  EXPECT_EQ(is_x86_64_host_with(fallback, 2), 1);
  // A program that starts but fails ends the probe: the next one is not tried.
  ProbeProgram no_retry[] = {{failing.c_str(), "uname", "-m"}, {good.c_str(), "arch", nullptr}};
  EXPECT_EQ(is_x86_64_host_with(no_retry, 2), -1);
  ProbeProgram none[] = {{missing.c_str(), "uname", "-m"}};
  EXPECT_EQ(is_x86_64_host_with(none, 1), -1);
  EXPECT_EQ(is_x86_64_host_with(none, 0), -1);
}

TEST(MachineProbe, PassesTheArgumentWords) {
  ScopedTempDir dir;
  std::string program = make_script(dir, "uname", "echo \"$0 $#:$1\"\n");
  ProbeProgram table[] = {{program.c_str(), "uname", "-m"}};
  char buffer[64];
  ASSERT_EQ(probe_first_line(table, 1, true, buffer, sizeof buffer), 1);
  EXPECT_EQ(std::string(buffer), program + " 1:-m");
}

// Reports which of the standard descriptors the probed program was given.
constexpr const char* kDescriptorReport =
    "for fd in 0 2; do if [ -e /proc/$$/fd/$fd ]; then printf o; else printf c; fi; done; echo\n";

TEST(MachineProbe, RunsWithStandardInputAndErrorClosed) {
  ScopedTempDir dir;
  std::string program = make_script(dir, "uname", kDescriptorReport);
  ProbeProgram table[] = {{program.c_str(), "uname", "-m"}};
  char buffer[64];
  ASSERT_EQ(probe_first_line(table, 1, true, buffer, sizeof buffer), 1);
  EXPECT_EQ(std::string(buffer), "cc");
}

TEST(LoginProbe, KeepsStandardInputOpenAndErrorClosed) {
  ScopedTempDir dir;
  std::string program = make_script(dir, "logname", kDescriptorReport);
  ProbeProgram table[] = {{program.c_str(), "logname", nullptr}};
  char* name = login_name_with(table, 1);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name), "oc");
  std::free(name);
}

TEST(LoginProbe, AnswersWithACopyOfTheFirstLine) {
  ScopedTempDir dir;
  struct Case {
    const char* answer;
    const char* expected;
  };
  const Case cases[] = {{"alice\n", "alice"}, {"", ""}, {"\n", ""}, {"bob\ncarol\n", "bob"}};
  for (const Case& c : cases) {
    std::string program = make_answer_script(dir, "logname", c.answer);
    ProbeProgram table[] = {{program.c_str(), "logname", nullptr}};
    char* name = login_name_with(table, 1);
    ASSERT_NE(name, nullptr) << c.answer;  // an empty answer is still an answer
    EXPECT_EQ(std::string(name), c.expected);
    std::free(name);
  }
  std::string long_name(90, 'n');
  std::string program = make_answer_script(dir, "logname", long_name);
  ProbeProgram table[] = {{program.c_str(), "logname", nullptr}};
  char* name = login_name_with(table, 1);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name), long_name.substr(0, 80));
  std::free(name);

  std::string failing = make_script(dir, "failing", "echo alice; exit 1\n");
  ProbeProgram failing_table[] = {{failing.c_str(), "logname", nullptr}};
  EXPECT_EQ(login_name_with(failing_table, 1), nullptr);
}

TEST(MachineType, ComparesIgnoringCase) {
  struct Case {
    const char* type;
    const char* expected_name;
    int expected;
  };
  constexpr Case kCases[] = {
      {"aarch64", "aarch64", 1}, {"AArch64", "aarch64", 1}, {"aarch64_be", "aarch64", 0},
      {"arm7l", "arm7l", 1},     {"ARM7L", "arm7l", 1},     {"armv7l", "arm7l", 0},
      {nullptr, "aarch64", -1},  {"", "aarch64", 0},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(compare_machine_type(c.type, c.expected_name), c.expected)
        << (c.type ? c.type : "(null)") << " vs " << c.expected_name;
  }
}

// What a 32-bit ARM kernel reports ("armv7l") counts, and so does the name
// the host table has always used; other ARM generations do not.
TEST(MachineType, Arm7lHostsAreTheArmv7Kernels) {
  struct Case {
    const char* type;
    int expected;
  };
  constexpr Case kCases[] = {
      {"armv7l", 1}, {"ARMv7l", 1}, {"arm7l", 1},  {"ARM7L", 1},   {"armv7", 0},  {"armv7l ", 0},
      {"armv6l", 0}, {"armv8l", 0}, {"aarch64", 0}, {"i686", 0},   {"", 0},       {nullptr, -1},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(is_arm7l_machine(c.type), c.expected) << (c.type ? c.type : "(null)");
}

TEST(MachineType, AgreesWithTheKernelOnThisHost) {
  utsname host;
  ASSERT_EQ(uname(&host), 0);
  const char* type = machine_type();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(std::string(type), host.machine);
  EXPECT_EQ(machine_type(), type);  // cached: the same buffer again
  std::string machine = host.machine;
  EXPECT_EQ(is_x86_64_host(), machine == "x86_64" ? 1 : 0);
  EXPECT_EQ(is_aarch64_host(), machine == "aarch64" ? 1 : 0);
  EXPECT_EQ(is_arm7l_host(), machine == "armv7l" ? 1 : 0);
}

}  // namespace
}  // namespace telo
