// Standard error that cannot take the text: only a reader that is gone
// makes the prompts answer Cancel.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "tests/support/child_capture.h"

namespace telo {
namespace {

enum class Stderr { kFullDevice, kClosedPipe };

// Lays standard error on the failing kind of output, in the child.
void lay_stderr(Stderr kind) {
  int fd = -1;
  if (kind == Stderr::kFullDevice) {
    fd = ::open("/dev/full", O_WRONLY);
  } else {
    int ends[2];
    if (::pipe(ends) != 0) _exit(3);
    ::close(ends[0]);
    fd = ends[1];
    std::signal(SIGPIPE, SIG_IGN);  // as the installer has it
  }
  if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) _exit(3);
  ::close(fd);
}

TEST(ErrorStream, OnlyAGoneReaderMakesTheNextPromptCancel) {
  struct Case {
    const char* name;
    Stderr kind;
    int auto_value;
    int expected;  // the two prompts' outcomes, first * 1000 + second
    bool lost;
  };
  const Case cases[] = {
      {"full device, typed answers", Stderr::kFullDevice, 0, RESULT_YES * 1000 + RESULT_OK, false},
      {"full device, unattended", Stderr::kFullDevice, 1, RESULT_YES * 1000 + RESULT_NEXT, false},
      {"closed pipe, typed answers", Stderr::kClosedPipe, 0, RESULT_YES * 1000 + RESULT_CANCEL, true},
      {"closed pipe, unattended", Stderr::kClosedPipe, 1, RESULT_YES * 1000 + RESULT_CANCEL, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ChildResult result = testing::run_in_child(
        [&] {
          lay_stderr(c.kind);
          auto_mode = c.auto_value;
          int first = ask_yes_no_cancel(nullptr, c.auto_value != 0 ? RESULT_YES : 0);
          say("%s\n", "a message nobody may read");
          int second = ask_ok_cancel(nullptr, c.auto_value != 0 ? RESULT_NEXT : 0);
          if (output_lost() != c.lost) return -1;
          return first * 1000 + second;
        },
        "y\no\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.returned, c.expected);
  }
}

}  // namespace
}  // namespace telo
