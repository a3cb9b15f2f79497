#include <cstdio>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "wizard/host_tools.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

// The application runs driver installation in one of these, for sudo's prompts.
bool has_terminal_emulator() {
  static constexpr const char* kTerminals[] = {"/bin/xterm", "/bin/lxterm", "/usr/bin/xterm",
                                               "/usr/bin/lxterm"};
  for (const char* program : kTerminals)
    if (is_directory(program) == 0) return true;
  return false;
}

}  // namespace

WizardState run_terminal_state() {
  next_state = STATE_INSTALLED;
  if (!has_terminal_emulator()) {
    say(
        "\n\nTELO might use 'xterm' (along with interactive prompts via 'sudo'), as a proxy\n"
        "to install drivers without requiring that all of TELO be run as super-user.\n"
        "The 'xterm' (or 'lxterm') can be installed now (requires network access).\n");
    if (ask_ok_cancel("Proceed?", RESULT_NEXT) == RESULT_CANCEL) error(nullptr);
    run_package_tool("update");
    // Both are tried: some distributions ship only one of them.
    bool xterm_installed = run_package_tool("install", "xterm") == 0;
    bool lxterm_installed = run_package_tool("install", "lxterm") == 0;
    if (!xterm_installed && !lxterm_installed) {
      say("\n\nUnable to install 'xterm' or 'lxterm'; install later using system tools.\n\n");
      ask_ok();
    }
  }
  return next_state;
}

}  // namespace telo
