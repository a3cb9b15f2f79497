#include "tests/support/child_capture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/scoped_temp_dir.h"

namespace telo::testing {

ChildResult run_in_child(const std::function<int()>& body, const std::string& stdin_text) {
  ScopedTempDir dir;
  const std::string input = dir / "stdin";
  const std::string output = dir / "stderr";
  const std::string returned = dir / "returned";
  write_file(input, stdin_text);
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    std::freopen(input.c_str(), "rb", stdin);
    std::freopen(output.c_str(), "wb", stderr);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    int value = body();
    write_file(returned, std::to_string(value));
    std::fflush(nullptr);
    _exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ChildResult result;
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  result.stderr_text = read_file(output);
  std::string value = read_file(returned);
  if (!value.empty()) result.returned = std::stoi(value);
  return result;
}

}  // namespace telo::testing
