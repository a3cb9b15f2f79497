#pragma once

namespace telo {

inline constexpr int STATE_WELCOME = 0;
inline constexpr int STATE_DIRECTORY = 2;
inline constexpr int STATE_DIR_EXISTS = 10;
inline constexpr int STATE_EXTRACT = 15;
inline constexpr int STATE_JAVA = 16;
inline constexpr int STATE_TERMINAL = 17;
inline constexpr int STATE_INSTALLED = 20;
inline constexpr int STATE_STUB = 23;
inline constexpr int STATE_SHORTCUT = 24;
inline constexpr int STATE_LAUNCH = 25;
inline constexpr int STATE_DONE = 99;

// Wizard globals, one instance each for the whole run.
extern int variant_32bit;
extern int new_release_mode;
extern int current_state;
extern int next_state;
extern int back_state;
extern char* stub_path;  // malloc'd, or null when there is no launcher stub

// The program's entry; returns the exit status after STATE_DONE.
int run_wizard(int argc, char** argv);

}  // namespace telo
