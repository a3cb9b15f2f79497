#include "tests/tools/installer_dialogue.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace telo::testing {

namespace {

constexpr int kTimeoutSeconds = 120;

// The answer to the prompt that ends `screen` (the text since the last answer).
const char* answer_for(const std::string& screen) {
  auto has = [&screen](const char* text) { return screen.find(text) != std::string::npos; };
  if (has("Files installed!") || has("Installing files")) return "c\n";
  if (has("Let's install")) return "n\n";                        // Next? Cancel?
  if (has("Use the default directory?")) return "y\n";
  if (has("Select a different directory?")) return "n\n";        // keep it despite the warning
  if (has("already exists!")) return "n\n";                      // Back? Next? Cancel?
  return "c\n";
}

bool ends_with_prompt(const std::string& screen) {
  return screen.size() >= 3 && screen.compare(screen.size() - 3, 3, "]: ") == 0;
}

}  // namespace

DialogueResult install_by_dialogue(const std::string& installer, const std::string& directory) {
  int in[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    ::dup2(in[0], 0);
    ::dup2(err[1], 2);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execl(installer.c_str(), installer.c_str(), "-TELO", directory.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(in[0]);
  ::close(err[1]);
  ::signal(SIGPIPE, SIG_IGN);
  DialogueResult result;
  std::string screen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
  for (;;) {
    pollfd fd{err[0], POLLIN, 0};
    if (::poll(&fd, 1, 200) == 0) {
      if (std::chrono::steady_clock::now() < deadline) continue;
      ::kill(child, SIGKILL);
      result.timed_out = true;
      break;
    }
    char buffer[4096];
    ssize_t got = ::read(err[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.stderr_text.append(buffer, static_cast<std::size_t>(got));
    screen.append(buffer, static_cast<std::size_t>(got));
    if (!ends_with_prompt(screen)) continue;
    const char* answer = answer_for(screen);
    if (result.stderr_text.find("Installing files") != std::string::npos) result.extracted = true;
    result.answers += answer;
    screen.clear();
    if (::write(in[1], answer, 2) != 2) break;
  }
  ::close(in[1]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace telo::testing
