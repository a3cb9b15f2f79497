#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console/directory_dialog.h"
#include "console/prompt.h"
#include "console/terminate.h"
#include "payload/extract.h"
#include "payload/header.h"
#include "sysenv/install_targets.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/state.h"
#include "wizard/steps.h"

namespace telo {

int variant_32bit = 0;
int new_release_mode = 0;
int current_state = STATE_WELCOME;
int next_state = STATE_WELCOME;
int back_state = STATE_WELCOME;
char* stub_path = nullptr;

namespace {

constexpr std::size_t kMaxTeloArgument = 4095;
constexpr unsigned kFirstThreeSlots = 0x7;

// A bare program name (started through a PATH search) names no file we can
// trust in the current directory; the kernel knows our real file.
std::FILE* open_own_file(const char* argv0) {
  if (argv0 != nullptr && std::strchr(argv0, '/') != nullptr) {
    if (std::FILE* file = std::fopen(argv0, "rb")) return file;
  }
  return std::fopen("/proc/self/exe", "rb");
}

bool has_argument(int argc, char** argv, const char* option) {
  for (int i = 0; i < argc; ++i)
    if (std::strcmp(argv[i], option) == 0) return true;
  return false;
}

void choose_default_directory() {
  if (read_previous_install_dir() != 0) {
    set_target_directory(install_targets.directory[0], kFirstThreeSlots);
  } else {
    set_target_directory(variant_32bit ? "/usr/local/telo32" : "/usr/local/telo", kFirstThreeSlots);
  }
  for (int slot = 0; slot < 3; ++slot) install_targets.selected[slot] = 1;
}

// Only the first "-TELO" that has a following argument is looked at.
void apply_telo_option(int argc, char** argv) {
  for (int i = 0; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-TELO") != 0) continue;
    if (std::strlen(argv[i + 1]) <= kMaxTeloArgument) set_target_directory(argv[i + 1], kFirstThreeSlots);
    return;
  }
}

void start_up(int argc, char** argv) {
  payload_file = open_own_file(argc > 0 ? argv[0] : nullptr);
  if (payload_file == nullptr) error("Can't find attachments (err=1).");
  locate_payload(payload_file, &payload_header);
  if (payload_header.volume != kSingleVolume) error("Can't find attachments (err=2).");
  if (is_x86_64_host() > 0) variant_32bit = 1;
  auto_mode = has_argument(argc, argv, "-autonext") ? 1 : 0;
  new_release_mode = has_argument(argc, argv, "-InstallNewRelease") ? 1 : 0;
  choose_default_directory();
  apply_telo_option(argc, argv);
}

// The common outcome rule of the states that offer Back.
void apply_outcome(int outcome) {
  switch (outcome) {
    case 0: error("Install error (err=10).");
    case RESULT_CANCEL: error(nullptr);
    case RESULT_BACK: current_state = back_state; return;
    case RESULT_NEXT: current_state = next_state; return;
    case RESULT_QUIT: exit_installer(0);
    default: error("Install error (err=11).");
  }
}

void print_welcome_banner() {
  std::time_t build_time = payload_header.build_time;
  std::tm stamp{};
  gmtime_r(&build_time, &stamp);
  std::fprintf(stderr, "\n\n%s\n\n", "VORN(R) Software Installation");
  std::fputs("Thanks for purchasing VORN(R) imaging products.\n\n", stderr);
  std::fprintf(stderr, "Let's install  %s %s %s software!", payload_header.product_name,
               payload_header.version, payload_header.description);
  std::fprintf(stderr, " (build %.2d%.2d%.2d.%.2d%.2d%.2d) ", stamp.tm_year % 100, stamp.tm_mon + 1,
               stamp.tm_mday, stamp.tm_hour, stamp.tm_min, stamp.tm_sec);
  std::fputs("!\n", stderr);
}

void run_welcome_state() {
  next_state = STATE_DIRECTORY;
  if (new_release_mode) usleep(2000);
  print_welcome_banner();
  if (new_release_mode) {
    static constexpr int kOutcomes[] = {RESULT_DEFAULT_AUTO, RESULT_SELECTIVE, RESULT_CANCEL};
    int outcome = ask_choice("Select default installation?", "Default-auto? Selective? Cancel?", "dsc",
                             kOutcomes, 3, RESULT_DEFAULT_AUTO);
    if (outcome == RESULT_CANCEL) error(nullptr);
    if (outcome == RESULT_DEFAULT_AUTO) auto_mode += 1;
    current_state = next_state;
    return;
  }
  static constexpr int kOutcomes[] = {RESULT_NEXT, RESULT_CANCEL};
  apply_outcome(ask_choice(nullptr, "Next? Cancel?", "nc", kOutcomes, 2, RESULT_NEXT));
}

void run_directory_state() {
  next_state = STATE_DIR_EXISTS;
  back_state = STATE_WELCOME;
  if (new_release_mode) usleep(1000);
  apply_outcome(select_install_directory());
}

void run_dir_exists_state() {
  next_state = STATE_EXTRACT;
  const char* directory = install_targets.directory[0];
  if (is_directory(directory) != 1 || payload_header.java_runtime[0] == '\0') {
    current_state = next_state;
    return;
  }
  back_state = STATE_DIRECTORY;
  std::fprintf(stderr,
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
  apply_outcome(ask_back_next_cancel());
}

void run_extract_state() {
  next_state = STATE_JAVA;
  back_state = STATE_EXTRACT;
  if (new_release_mode) usleep(2000);
  apply_outcome(extract_payload());
}

void run_installed_state() {
  next_state = STATE_STUB;
  back_state = STATE_INSTALLED;
  std::fputs(
      "\n\nFiles installed!   See files:\n\n"
      "TELOINS.TXT \tUp-to-the-minute installation\n\t\tinstructions and software overview.\n"
      "TELODST.TXT \tDescribes the various files installed.\n"
      "TELORLS.TXT \tUp-to-the-minute release notes.\n"
      "PCITIPS.TXT \tPC configuration tips.\n\n"
      "TELO.HTM    \tThe full TELO Reference Manual.\n",
      stderr);
  apply_outcome(ask_back_next_cancel());
}

// Runs one state; returns false once STATE_DONE has finished the run.
bool run_state() {
  switch (current_state) {
    case STATE_WELCOME: run_welcome_state(); return true;
    case STATE_DIRECTORY: run_directory_state(); return true;
    case STATE_DIR_EXISTS: run_dir_exists_state(); return true;
    case STATE_EXTRACT: run_extract_state(); return true;
    case STATE_JAVA: run_java_state(); return true;
    case STATE_TERMINAL: run_terminal_state(); return true;
    case STATE_INSTALLED: run_installed_state(); return true;
    case STATE_STUB: run_stub_state(); return true;
    case STATE_SHORTCUT: run_shortcut_state(); return true;
    case STATE_LAUNCH: run_launch_state(); return true;
    case STATE_DONE: std::fputs("\n\nInstallation complete.\n\n", stderr); return false;
    default: error("Install error (err=12).");
  }
}

}  // namespace

int run_wizard(int argc, char** argv) {
  start_up(argc, argv);
  current_state = STATE_WELCOME;
  while (run_state()) {
  }
  if (payload_file != nullptr) {
    std::fclose(payload_file);
    payload_file = nullptr;
  }
  return 0;
}

}  // namespace telo
