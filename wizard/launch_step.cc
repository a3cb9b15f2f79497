#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/header_texts.h"
#include "wizard/install_targets.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

// Each of these returns only when the process could not be replaced.
void exec_shell(const char* script) { execl("/bin/sh", "/bin/sh", script, static_cast<char*>(nullptr)); }

void exec_shell_as(const char* user, const char* script) {
  execl("/usr/bin/sudo", "sudo", "-u", user, "/bin/sh", script, static_cast<char*>(nullptr));
}

// Runs `script` as the login user when there is one, else as ourselves. The
// program starts with default signals; ours come back when no exec took place.
void exec_for(const char* user, const char* script) {
  SavedSignals installer_signals;
  signals_to_defaults(installer_signals);
  if (user != nullptr) exec_shell_as(user, script);
  exec_shell(script);
  restore_signals(installer_signals);
}

// Without a stub the application starts in the home directory, as the stub's
// individual variant would have it.
void launch_without_stub(const char* user) {
  const char* home = std::getenv("HOME");
  if (home == nullptr) error("Error finding HOME directory");
  if (chdir(home) != 0) return;
  char* application = concat_strings(2, install_targets.directory[0], "/telolnx");
  if (application == nullptr) return;
  exec_for(user, application);
  std::free(application);
}

void launch() {
  // The application has no use for the installer's own file.
  if (payload_file != nullptr) fcntl(fileno(payload_file), F_SETFD, FD_CLOEXEC);
  // The super-user starts the application on behalf of whoever logged in.
  char* user = geteuid() == 0 ? login_name() : nullptr;
  if (stub_path != nullptr) exec_for(user, stub_path);
  else launch_without_stub(user);
  std::free(user);
}

}  // namespace

WizardState run_launch_state() {
  next_state = STATE_DONE;
  say("\n\n\n\nStart %s %s now ?\n", header_texts.product_name,
      header_texts.description);
  int outcome = ask_yes_no_cancel(nullptr, RESULT_YES);
  if (outcome == RESULT_CANCEL) error(nullptr);
  if (outcome != RESULT_NO) {
    say("\n\nStarting %s %s now ...\n\n", header_texts.product_name,
        header_texts.description);
    launch();  // returns only when no launch succeeded
  }
  return next_state;
}

}  // namespace telo
