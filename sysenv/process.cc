#include "sysenv/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace telo {

namespace {

constexpr int kMachineTypeCapacity = 64;  // at most 63 characters read
constexpr int kLoginNameCapacity = 81;    // at most 80 characters read

constexpr ProbeProgram kMachineTypePrograms[] = {
    {"/bin/uname", "uname", "-m"},
    {"/usr/bin/arch", "arch", nullptr},
    {"/usr/bin/uname", "uname", "-m"},
    {"/bin/arch", "arch", nullptr},
};
constexpr int kMachineTypeProgramCount =
    static_cast<int>(sizeof kMachineTypePrograms / sizeof kMachineTypePrograms[0]);

constexpr ProbeProgram kLoginNamePrograms[] = {
    {"/usr/bin/logname", "logname", nullptr},
    {"/bin/logname", "logname", nullptr},
};
constexpr int kLoginNameProgramCount =
    static_cast<int>(sizeof kLoginNamePrograms / sizeof kLoginNamePrograms[0]);

// Once non-empty, machine_type() answers from here without probing again.
char machine_type_cache[kMachineTypeCapacity];

// Waits for `child`, riding out interrupted waits. -1 when the wait fails.
int wait_for_exit_byte(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  // The exit-status byte: a child ended by a signal leaves it 0.
  return (status >> 8) & 0xff;
}

// What every child starts with: the default signal dispositions and an
// empty mask, whatever the installer itself ignores or blocks.
struct SpawnAttributes {
  posix_spawnattr_t attr;
  bool ready = posix_spawnattr_init(&attr) == 0;
  SpawnAttributes() {
    if (!ready) return;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    ready = posix_spawnattr_setsigmask(&attr, &none) == 0 &&
            posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  bool ready = posix_spawn_file_actions_init(&actions) == 0;
  SpawnActions() = default;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

// Children are started with posix_spawn rather than fork: the installer may
// have started threads, and user-mode emulators (qemu-i386) hang a forked
// child of a dynamically linked 32-bit program. Returns 0 with `child` set,
// EAGAIN or ENOMEM when no child could be made, or another error when the
// program cannot be run.
int spawn_program(const char* path, char* const argv[], const SpawnActions& actions, pid_t& child) {
  // Emulators report a program that cannot run as a child that exits 127,
  // not as an error of the spawn: a program that is not there is known first.
  if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) != 0) return errno == ENOMEM ? ENOMEM : ENOENT;
  SpawnAttributes attributes;
  if (!attributes.ready || !actions.ready) return ENOMEM;
  return posix_spawn(&child, path, &actions.actions, &attributes.attr, argv, environ);
}

// Reads the answer once (the child has ended) and cuts it at the first newline.
void read_first_line(int read_end, char* buffer, int capacity) {
  std::memset(buffer, 0, static_cast<std::size_t>(capacity));
  ssize_t got;
  do {
    got = read(read_end, buffer, static_cast<std::size_t>(capacity - 1));
  } while (got < 0 && errno == EINTR);
  if (char* newline = std::strchr(buffer, '\n')) *newline = '\0';
}

// The first program of the table that can be started, with the pipe's write
// end as its standard output; -1 when none can.
pid_t spawn_probe(const ProbeProgram* programs, int program_count, bool close_stdin, int write_end) {
  SpawnActions actions;
  // dup2 rather than close+dup: a closed standard input would otherwise take
  // the slot. Both pipe ends are close-on-exec; the duplicate is not.
  if (!actions.ready || posix_spawn_file_actions_adddup2(&actions.actions, write_end, STDOUT_FILENO) != 0)
    return -1;
  if (close_stdin && posix_spawn_file_actions_addclose(&actions.actions, STDIN_FILENO) != 0) return -1;
  if (posix_spawn_file_actions_addclose(&actions.actions, STDERR_FILENO) != 0) return -1;
  for (int i = 0; i < program_count; ++i) {
    char* argv[] = {const_cast<char*>(programs[i].arg0), const_cast<char*>(programs[i].arg1),
                    nullptr};
    pid_t child = -1;
    if (spawn_program(programs[i].path, argv, actions, child) == 0) return child;
  }
  return -1;
}

}  // namespace

void signals_to_defaults(SavedSignals& saved) {
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  // SIGKILL, SIGSTOP and the C library's own signals refuse; nothing to do for them.
  for (int number = 1; number < NSIG; ++number)
    if (sigaction(number, &defaults, &saved.actions[number]) != 0) saved.actions[number] = defaults;
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, &saved.mask);
}

void restore_signals(const SavedSignals& saved) {
  for (int number = 1; number < NSIG; ++number) (void)sigaction(number, &saved.actions[number], nullptr);
  sigprocmask(SIG_SETMASK, &saved.mask, nullptr);
}

int run_command(const char* path, const char* arg0, const char* arg1, const char* arg2,
                const char* arg3, const char* arg4) {
  // The first null ends the words; the program reads up to it.
  char* argv[] = {const_cast<char*>(arg0), const_cast<char*>(arg1), const_cast<char*>(arg2),
                  const_cast<char*>(arg3), const_cast<char*>(arg4), nullptr};
  SpawnActions no_actions;
  pid_t child = -1;
  int error = spawn_program(path, argv, no_actions, child);
  if (error == EAGAIN || error == ENOMEM) return -1;
  // A program that cannot be run counts as a child that exited with status 1.
  if (error != 0) return 1;
  return wait_for_exit_byte(child);
}

int probe_first_line(const ProbeProgram* programs, int program_count, bool close_stdin,
                     char* buffer, int capacity) {
  if (capacity < 1) return 0;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) < 0) return 0;
  pid_t child = spawn_probe(programs, program_count, close_stdin, ends[1]);
  close(ends[1]);
  // The expected answer is one short line, so the pipe cannot fill up before the
  // child ends; reading only afterwards keeps the order simple.
  int ok = child > 0 && wait_for_exit_byte(child) == 0;
  if (ok) read_first_line(ends[0], buffer, capacity);
  close(ends[0]);
  return ok;
}

int compare_machine_type(const char* type, const char* expected) {
  if (type == nullptr) return -1;
  return strcasecmp(type, expected) == 0 ? 1 : 0;
}

const char* machine_type() {
  if (machine_type_cache[0] != '\0') return machine_type_cache;
  if (!probe_first_line(kMachineTypePrograms, kMachineTypeProgramCount, true, machine_type_cache,
                        kMachineTypeCapacity)) {
    machine_type_cache[0] = '\0';  // a failed probe leaves the cache empty
    return nullptr;
  }
  return machine_type_cache[0] != '\0' ? machine_type_cache : nullptr;
}

int is_x86_64_host_with(const ProbeProgram* programs, int program_count) {
  char answer[kMachineTypeCapacity];
  if (!probe_first_line(programs, program_count, true, answer, kMachineTypeCapacity)) return -1;
  return compare_machine_type(answer, "x86_64") == 1 || compare_machine_type(answer, "x86-64") == 1
             ? 1
             : 0;
}

int is_x86_64_host() { return is_x86_64_host_with(kMachineTypePrograms, kMachineTypeProgramCount); }

int is_aarch64_host() { return compare_machine_type(machine_type(), "aarch64"); }

// A 32-bit ARMv7 kernel reports "armv7l"; "arm7l" is the name the host
// table has always used, so both count.
int is_arm7l_machine(const char* type) {
  int named = compare_machine_type(type, "arm7l");
  return named == 0 ? compare_machine_type(type, "armv7l") : named;
}

int is_arm7l_host() { return is_arm7l_machine(machine_type()); }

char* login_name_with(const ProbeProgram* programs, int program_count) {
  char answer[kLoginNameCapacity];
  if (!probe_first_line(programs, program_count, false, answer, kLoginNameCapacity)) return nullptr;
  return strdup(answer);
}

char* login_name() { return login_name_with(kLoginNamePrograms, kLoginNameProgramCount); }

}  // namespace telo
