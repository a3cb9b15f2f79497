#include "wizard/terminate.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/child_capture.h"

namespace telo {
namespace {

using testing::run_in_child;

const std::string kTerminated = "\n\nInstallation terminated.\n";
const std::string kNoEntry = std::strerror(ENOENT);

TEST(Terminate, PrintsTheReasonAndExitsWithFailure) {
  struct Case {
    const char* name;
    std::function<int()> body;
    std::string expected;
  } cases[] = {
      {"error without message", []() -> int { error(nullptr); }, kTerminated},
      {"error with message", []() -> int { error("Install error (err=10)."); },
       "Install error (err=10).\n" + kTerminated},
      {"errno text and detail", []() -> int { terminate_with_errno("Can't create file", "(err=5).", ENOENT); },
       "Can't create file - " + kNoEntry + " (err=5).\n" + kTerminated},
      {"no errno", []() -> int { terminate_with_errno("Error creating stub", ".", 0); },
       "Error creating stub .\n" + kTerminated},
      {"no detail", []() -> int { terminate_with_errno("Error saving data", nullptr, ENOENT); },
       "Error saving data - " + kNoEntry + "\n" + kTerminated},
  };
  for (const Case& c : cases) {
    testing::ChildResult result = run_in_child(c.body);
    EXPECT_EQ(result.exit_status, 1) << c.name;
    EXPECT_EQ(result.stderr_text, c.expected) << c.name;
  }
}

TEST(Terminate, ExitInstallerClosesThePayloadStream) {
  testing::ChildResult result = run_in_child([]() -> int {
    payload_file = std::fopen("/dev/null", "rb");
    exit_installer(0);
  });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.stderr_text, "");
}

}  // namespace
}  // namespace telo
