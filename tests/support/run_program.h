#pragma once

#include <string>
#include <vector>

namespace telo::testing {

struct RunOptions {
  std::string stdin_text;            // written to the program, then end of input
  std::string cwd;                   // empty: the test's own
  std::vector<std::string> env;      // extra NAME=VALUE entries (override ours)
  std::vector<std::string> unset_env;
  bool use_pty = false;              // standard streams on a pseudo-terminal (no echo, no \r)
  int timeout_seconds = 120;
  // Standard error on a one-page pipe whose writing end is non-blocking,
  // read a little at a time with pauses: the program's writes meet EAGAIN.
  bool slow_nonblocking_stderr = false;
};

struct RunResult {
  int exit_status = -1;              // exit code, or -1 when ended by a signal
  int signal = 0;
  bool timed_out = false;
  std::string stdout_text;           // with use_pty: everything the terminal showed
  std::string stderr_text;
};

// Runs argv[0] (a path) with the arguments `argv`, as a user would.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs `argv` with argv[0] given separately from the program path.
RunResult run_program_as(const std::string& path, const std::vector<std::string>& argv,
                         const RunOptions& options = {});

}  // namespace telo::testing
