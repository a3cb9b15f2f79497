#pragma once

#include "payload/format.h"
#include "payload/record_reader.h"

namespace telo {

// The wizard's states, numbered as the installation has always numbered them.
enum WizardState : int {
  STATE_WELCOME = 0,
  STATE_DIRECTORY = 2,
  STATE_DIR_EXISTS = 10,
  STATE_EXTRACT = 15,
  STATE_JAVA = 16,
  STATE_TERMINAL = 17,
  STATE_INSTALLED = 20,
  STATE_STUB = 23,
  STATE_SHORTCUT = 24,
  STATE_LAUNCH = 25,
  STATE_DONE = 99,
};

// Wizard globals, one instance each for the whole run.
extern int variant_32bit;
extern int new_release_mode;
extern WizardState current_state;
extern WizardState next_state;
extern WizardState back_state;
extern char* stub_path;  // malloc'd, or null when there is no launcher stub

// The validated header of this installer's payload, filled at start-up, and
// where its first record starts in payload_file.
extern PayloadHeader payload_header;
extern PayloadSource payload_records;

// The program's entry; returns the exit status after STATE_DONE.
int run_wizard(int argc, char** argv);

}  // namespace telo
