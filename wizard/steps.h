#pragma once

// The states after extraction. Each sets next_state, does its work and
// either goes forward (current_state = next_state) or terminates.

namespace telo {

void run_java_state();
void run_terminal_state();
void run_stub_state();
void run_shortcut_state();
void run_launch_state();

}  // namespace telo
