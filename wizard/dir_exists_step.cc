// The warning before installing into a directory that already exists.

#include <cstdio>

#include "console/error_stream.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "wizard/install_targets.h"
#include "wizard/header_texts.h"
#include "wizard/state.h"
#include "wizard/steps.h"

namespace telo {

// Warns only when the payload carries a Java runtime of its own.
WizardState run_dir_exists_state() {
  next_state = STATE_EXTRACT;
  const char* directory = install_targets.directory[0];
  if (is_directory(directory) != 1 || header_texts.java_runtime[0] == '\0') return next_state;
  back_state = STATE_DIRECTORY;
  say(
      "\n\nThe directory \n    %s\nalready exists!\n\n"
      "Installing into a different directory is prudent -\n"
      "in the unlikely event of a media failure, the\n"
      "previous functioning version remains intact.\n"
      "After the new version has been installed\n"
      "into a different directory and sucessfully used,\n"
      "the old version's directory can be deleted with\n"
      "standard O.S. commands.\n\n"
      "Select 'Next' to proceed with the installation,\n"
      "or 'Back' to select a different directory.\n",
      directory);
  return apply_outcome(ask_back_next_cancel());
}

}  // namespace telo
