#pragma once

#include <signal.h>

namespace telo {

// The signal dispositions and mask of the calling thread, as they were
// before signals_to_defaults.
struct SavedSignals {
  sigset_t mask;
  struct sigaction actions[NSIG];
};

// Before replacing the process: every signal back to its default
// disposition and none blocked, so that what the installer ignores (a lost
// standard error) or inherited does not reach the program that follows.
// restore_signals puts the installer's own state back when no exec took place.
void signals_to_defaults(SavedSignals& saved);
void restore_signals(const SavedSignals& saved);

// Runs `path` with the argument words arg0.. (the first null ends them),
// without a shell or PATH search, and waits. Returns the exit-status byte
// (a child killed by a signal gives 0), or -1 when no child could be started.
int run_command(const char* path, const char* arg0, const char* arg1 = nullptr,
                const char* arg2 = nullptr, const char* arg3 = nullptr,
                const char* arg4 = nullptr);

// One program a probe may try: its path and up to two argument words.
struct ProbeProgram {
  const char* path;
  const char* arg0;
  const char* arg1;
};

// Runs the programs in order (each replacing the child) with standard output
// on a pipe and returns 1 with the first line of output (at most
// `capacity` - 1 bytes) in `buffer`, or 0 when the probe fails.
// `close_stdin` also closes standard input in the child; standard error is always closed.
int probe_first_line(const ProbeProgram* programs, int program_count, bool close_stdin,
                     char* buffer, int capacity);

const char* machine_type();   // cached; null when it cannot be learned
int is_x86_64_host();         // fresh probe: 1, 0, or -1 when the probe fails
int is_aarch64_host();        // 1, 0, -1
int is_arm7l_host();          // 1, 0, -1
char* login_name();           // malloc'd first line of logname, or null

// The answer tests on a given probe table, so tests need no stand-ins.
int is_x86_64_host_with(const ProbeProgram* programs, int program_count);
char* login_name_with(const ProbeProgram* programs, int program_count);

// 1 when `type` equals `expected` ignoring letter case, 0 when not, -1 for a null type.
int compare_machine_type(const char* type, const char* expected);

// is_arm7l_host's answer for a given machine type: 1 for "armv7l" or
// "arm7l" (letter case ignored), 0 for others, -1 for a null type.
int is_arm7l_machine(const char* type);

}  // namespace telo
