#include "tests/support/run_program.h"
#include "tests/support/target_program.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace telo::testing {

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  }
  ~Pipe() { close_both(); }
  void close_end(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
  void close_both() { close_end(0); close_end(1); }
};

// The environment the program gets: ours, less `unset_env`, with `env` laid over.
std::vector<std::string> child_environment(const RunOptions& options) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name = name_of(*entry);
    bool dropped = false;
    for (const std::string& unset : options.unset_env) dropped = dropped || unset == name;
    for (const std::string& set : options.env) dropped = dropped || name_of(set) == name;
    if (!dropped) entries.push_back(*entry);
  }
  entries.insert(entries.end(), options.env.begin(), options.env.end());
  return entries;
}

std::vector<char*> pointers_to(const std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (const std::string& word : words) pointers.push_back(const_cast<char*>(word.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Starts the program with posix_spawn, never fork: under qemu-i386 a forked
// child of a dynamically linked 32-bit program hangs. `actions` lay out its
// descriptors. It inherits our signal mask and ignored signals (a test may
// pass one on), but SIGPIPE, which we ignore ourselves, is back to default.
pid_t spawn_child(const std::string& path, const std::vector<std::string>& argv, const RunOptions& options,
                  posix_spawn_file_actions_t* actions, short extra_flags = 0) {
  if (!options.cwd.empty() && ::posix_spawn_file_actions_addchdir_np(actions, options.cwd.c_str()) != 0)
    throw std::runtime_error("posix_spawn_file_actions_addchdir_np");
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  ::posix_spawnattr_setsigdefault(&attr, &defaults);
  ::posix_spawnattr_setflags(&attr, static_cast<short>(POSIX_SPAWN_SETSIGDEF | extra_flags));
  const std::vector<std::string> environment = child_environment(options);
  std::vector<char*> args = pointers_to(argv);
  std::vector<char*> envp = pointers_to(environment);
  pid_t child = -1;
  int error = ::posix_spawn(&child, path.c_str(), actions, &attr, args.data(), envp.data());
  ::posix_spawnattr_destroy(&attr);
  ::posix_spawn_file_actions_destroy(actions);
  if (error != 0) throw std::runtime_error("posix_spawn " + path + ": " + std::strerror(error));
  return child;
}

void decode_status(int status, RunResult& result) {
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

// Feeds `input` to `in_fd` and drains the output descriptors until all close.
// `close_input` (when given) owns the writing end and is closed once the
// input is written, so that the program sees the end of its input.
// `close_at_exit` (when given) is closed once the child has ended.
void pump(int in_fd, const std::string& input, int out_fds[2], std::string* outs[2], pid_t child,
          int timeout_seconds, RunResult& result, int* close_input = nullptr, int* close_at_exit = nullptr,
          bool slow_err = false) {
  std::size_t written = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  if (in_fd >= 0 && input.empty()) in_fd = -1;
  while (out_fds[0] >= 0 || out_fds[1] >= 0) {
    pollfd fds[3];
    int n = 0;
    for (int i = 0; i < 2; ++i) fds[n++] = {out_fds[i], POLLIN, 0};
    fds[n++] = {in_fd, POLLOUT, 0};
    int ready = ::poll(fds, n, 200);
    siginfo_t ended{};
    if (close_at_exit != nullptr && *close_at_exit >= 0 &&
        ::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == child) {
      ::close(*close_at_exit);
      *close_at_exit = -1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      result.timed_out = true;
      return;
    }
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (out_fds[i] < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const bool slow = slow_err && i == 1;
      if (slow) ::usleep(10000);
      ssize_t got = ::read(out_fds[i], buffer, slow ? 256 : sizeof buffer);
      if (got > 0) outs[i]->append(buffer, static_cast<std::size_t>(got));
      else out_fds[i] = -1;
    }
    if (in_fd >= 0 && fds[2].revents != 0) {
      ssize_t put = ::write(in_fd, input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put < 0 || written == input.size()) {
        in_fd = -1;
        if (close_input != nullptr && *close_input >= 0) {
          ::close(*close_input);
          *close_input = -1;
        }
      }
    }
  }
}

RunResult run_with_pipes(const std::string& path, const std::vector<std::string>& argv,
                         const RunOptions& options) {
  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
  ::posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  if (options.slow_nonblocking_stderr &&
      (::fcntl(err.fd[0], F_SETPIPE_SZ, 4096) < 0 || ::fcntl(err.fd[1], F_SETFL, O_NONBLOCK) != 0))
    throw std::runtime_error("cannot make standard error slow");
  pid_t child = spawn_child(path, argv, options, &actions);
  in.close_end(0);
  out.close_end(1);
  err.close_end(1);
  RunResult result;
  int out_fds[2] = {out.fd[0], err.fd[0]};
  std::string* outs[2] = {&result.stdout_text, &result.stderr_text};
  ::signal(SIGPIPE, SIG_IGN);
  int in_fd = in.fd[1];
  if (options.stdin_text.empty()) in.close_end(1), in_fd = -1;
  pump(in_fd, options.stdin_text, out_fds, outs, child, options.timeout_seconds, result, &in.fd[1], nullptr,
       options.slow_nonblocking_stderr);
  in.close_end(1);
  int status = 0;
  ::waitpid(child, &status, 0);
  decode_status(status, result);
  return result;
}

// On a terminal, standard input ends with the end-of-file character at the
// start of a line; output is taken raw so it compares byte for byte.
RunResult run_with_pty(const std::string& path, const std::vector<std::string>& argv,
                       const RunOptions& options) {
  termios mode{};
  ::cfmakeraw(&mode);
  mode.c_lflag |= ICANON;
  mode.c_cc[VEOF] = 4;
  mode.c_cc[VMIN] = 1;
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("posix_openpt");
  char terminal[128];
  if (::ptsname_r(master, terminal, sizeof terminal) != 0) throw std::runtime_error("ptsname_r");
  // Held open until the program ends: the master reads as ended while no
  // terminal side is open, and under an emulator the parent may read before
  // the child has opened its own.
  int slave = ::open(terminal, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) throw std::runtime_error("open pty");
  ::tcsetattr(slave, TCSANOW, &mode);
  // In a session of its own, the first terminal the program opens becomes its controlling one.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, terminal, O_RDWR, 0);
  ::posix_spawn_file_actions_adddup2(&actions, 0, 1);
  ::posix_spawn_file_actions_adddup2(&actions, 0, 2);
  pid_t child = spawn_child(path, argv, options, &actions, POSIX_SPAWN_SETSID);
  RunResult result;
  std::string input = options.stdin_text;
  if (input.empty() || input.back() == '\n') input += '\x04';
  else input += "\x04\x04";
  int out_fds[2] = {master, -1};
  std::string* outs[2] = {&result.stdout_text, &result.stderr_text};
  int in_fd = ::dup(master);
  pump(in_fd, input, out_fds, outs, child, options.timeout_seconds, result, nullptr, &slave);
  if (slave >= 0) ::close(slave);
  ::close(in_fd);
  ::close(master);
  int status = 0;
  ::waitpid(child, &status, 0);
  decode_status(status, result);
  return result;
}

}  // namespace

RunResult run_program_as(const std::string& path, const std::vector<std::string>& argv,
                         const RunOptions& options) {
  if (needs_target_emulator(path)) {
    const std::vector<std::string> emulated = target_command(path, argv);
    return run_program_as(emulated[0], emulated, options);
  }
  return options.use_pty ? run_with_pty(path, argv, options) : run_with_pipes(path, argv, options);
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  return run_program_as(argv.at(0), argv, options);
}

}  // namespace telo::testing
