// The "Files installed!" screen, which names the documents to read first.

#include <cstdio>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "wizard/state.h"
#include "wizard/steps.h"

namespace telo {

WizardState run_installed_state() {
  next_state = STATE_STUB;
  back_state = STATE_INSTALLED;
  say(
      "\n\nFiles installed!   See files:\n\n"
      "TELOINS.TXT \tUp-to-the-minute installation\n\t\tinstructions and software overview.\n"
      "TELODST.TXT \tDescribes the various files installed.\n"
      "TELORLS.TXT \tUp-to-the-minute release notes.\n"
      "PCITIPS.TXT \tPC configuration tips.\n\n"
      "TELO.HTM    \tThe full TELO Reference Manual.\n");
  return apply_outcome(ask_back_next_cancel());
}

}  // namespace telo
