#pragma once

// The wizard's steps, one per state. Each sets next_state (and back_state
// where it offers Back), does its work and returns the state that follows,
// or terminates.

#include "wizard/state.h"

namespace telo {

WizardState run_welcome_state();
WizardState run_directory_state();
WizardState run_dir_exists_state();
WizardState run_extract_state();
WizardState run_java_state();
WizardState run_terminal_state();
WizardState run_installed_state();
WizardState run_stub_state();
WizardState run_shortcut_state();
WizardState run_launch_state();

// The common outcome rule of the states that offer Back: Next goes to
// next_state, Back to back_state, Quit ends the run, anything else
// terminates the installation.
WizardState apply_outcome(int outcome);

}  // namespace telo
