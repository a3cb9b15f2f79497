#include "sysenv/process.h"

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

// Child side of a probe: the pipe becomes standard output, then each program
// is tried in turn. Never returns.
[[noreturn]] void run_probe_child(const ProbeProgram* programs, int program_count,
                                  bool close_stdin, int read_end, int write_end) {
  if (read_end != STDOUT_FILENO) close(read_end);
  // dup2 rather than close+dup: a closed standard input would otherwise take the slot.
  if (write_end != STDOUT_FILENO) {
    if (dup2(write_end, STDOUT_FILENO) < 0) _exit(1);
    close(write_end);
  }
  if (close_stdin) close(STDIN_FILENO);
  close(STDERR_FILENO);
  for (int i = 0; i < program_count; ++i) {
    char* argv[] = {const_cast<char*>(programs[i].arg0), const_cast<char*>(programs[i].arg1),
                    nullptr};
    execv(programs[i].path, argv);
  }
  _exit(1);
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

}  // namespace

int run_command(const char* path, const char* arg0, const char* arg1, const char* arg2,
                const char* arg3, const char* arg4) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    // The first null ends the words; execv reads up to it.
    char* argv[] = {const_cast<char*>(arg0), const_cast<char*>(arg1), const_cast<char*>(arg2),
                    const_cast<char*>(arg3), const_cast<char*>(arg4), nullptr};
    execv(path, argv);
    _exit(1);
  }
  return wait_for_exit_byte(child);
}

int probe_first_line(const ProbeProgram* programs, int program_count, bool close_stdin,
                     char* buffer, int capacity) {
  if (capacity < 1) return 0;
  int ends[2];
  if (pipe(ends) < 0) return 0;
  pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return 0;
  }
  if (child == 0) run_probe_child(programs, program_count, close_stdin, ends[0], ends[1]);

  close(ends[1]);
  // The expected answer is one short line, so the pipe cannot fill up before the
  // child ends; reading only afterwards keeps the order simple.
  int ok = wait_for_exit_byte(child) == 0;
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
