#include "wizard/terminate.h"

#include <cstdlib>
#include <cstring>

#include "console/error_stream.h"

namespace telo {

std::FILE* payload_file = nullptr;
void (*before_exit)() = nullptr;

void exit_installer(int status) {
  if (before_exit != nullptr) {
    void (*hook)() = before_exit;
    before_exit = nullptr;
    hook();
  }
  if (payload_file != nullptr) {
    std::fclose(payload_file);
    payload_file = nullptr;
  }
  std::exit(status);
}

// A failed or cancelled installation exits with status 1, so that a script
// running it unattended can tell failure from success.
void error(const char* message) {
  if (message != nullptr) say("%s\n", message);
  say("\n\nInstallation terminated.\n");
  exit_installer(1);
}

void terminate_with_errno(const char* message, const char* detail, int errnum) {
  if (message != nullptr) say("%s", message);
  if (errnum != 0) {
    const char* text = std::strerror(errnum);
    if (text != nullptr && *text != '\0') say(" - %s", text);
  }
  if (detail != nullptr) say(" %s", detail);
  say("\n");
  say("\n\nInstallation terminated.\n");
  exit_installer(1);
}

}  // namespace telo
