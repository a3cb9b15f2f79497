// The program's entry: start-up, then the loop over the wizard's states.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "console/error_stream.h"
#include "console/outcome.h"
#include "console/prompt.h"
#include "sysenv/paths.h"
#include "sysenv/process.h"
#include "wizard/header_texts.h"
#include "wizard/install_targets.h"
#include "wizard/locator.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

int variant_32bit = 0;
int new_release_mode = 0;
WizardState current_state = STATE_WELCOME;
WizardState next_state = STATE_WELCOME;
WizardState back_state = STATE_WELCOME;
char* stub_path = nullptr;
PayloadHeader payload_header;
PayloadSource payload_records;

namespace {

constexpr std::size_t kMaxTeloArgument = 4095;
constexpr unsigned kFirstThreeSlots = 0x7;

bool has_argument(int argc, char** argv, const char* option) {
  for (int i = 0; i < argc; ++i)
    if (std::strcmp(argv[i], option) == 0) return true;
  return false;
}

void choose_default_directory() {
  if (read_previous_install_dir(install_targets.directory[0]) != 0) {
    set_target_directory(install_targets.directory[0], kFirstThreeSlots);
  } else {
    set_target_directory(variant_32bit ? "/usr/local/telo32" : "/usr/local/telo", kFirstThreeSlots);
  }
  for (int slot = 0; slot < 3; ++slot) install_targets.selected[slot] = 1;
}

// Only the first "-TELO" that has a following argument is looked at. A
// directory the user named is never swapped for another: one too long to
// hold ends the run before anything is written.
void apply_telo_option(int argc, char** argv) {
  for (int i = 0; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-TELO") != 0) continue;
    if (std::strlen(argv[i + 1]) > kMaxTeloArgument)
      error("The directory given with -TELO is too long (at most 4095 characters).");
    set_target_directory(argv[i + 1], kFirstThreeSlots);
    return;
  }
}

// A descriptor closed by whoever started us would be taken by the first
// file we open: the payload would be read as answers, or messages written
// into a file. Each closed one is opened on /dev/null first, so a missing
// standard input reads as its end.
void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

void find_payload() {
  switch (locate_payload(payload_file, &payload_header, &payload_records)) {
    case HeaderFault::kNone: break;
    case HeaderFault::kNotFound: error("Can't find attachments (3).");
    case HeaderFault::kNoMemory: error("Insufficient memory (2).");
    case HeaderFault::kCrc: error("Attachments corrupted (3).");
  }
  if (!is_single_volume(payload_header)) error("Can't find attachments (err=2).");
  take_header_texts(payload_header);
}

void start_up(int argc, char** argv) {
  open_standard_descriptors();
  // A reader gone from standard error must not kill us halfway through a
  // tree; the next prompt sees the loss and ends the installation.
  (void)std::signal(SIGPIPE, SIG_IGN);
  payload_file = open_own_file(argc > 0 ? argv[0] : nullptr);
  if (payload_file == nullptr) error("Can't find attachments (err=1).");
  find_payload();
  if (is_x86_64_host() > 0) variant_32bit = 1;
  auto_mode = has_argument(argc, argv, "-autonext") ? 1 : 0;
  new_release_mode = has_argument(argc, argv, "-InstallNewRelease") ? 1 : 0;
  choose_default_directory();
  apply_telo_option(argc, argv);
}

WizardState run_done_state() {
  say("\n\nInstallation complete.\n\n");
  return STATE_DONE;
}

WizardState run_state(WizardState state) {
  switch (state) {
    case STATE_WELCOME: return run_welcome_state();
    case STATE_DIRECTORY: return run_directory_state();
    case STATE_DIR_EXISTS: return run_dir_exists_state();
    case STATE_EXTRACT: return run_extract_state();
    case STATE_JAVA: return run_java_state();
    case STATE_TERMINAL: return run_terminal_state();
    case STATE_INSTALLED: return run_installed_state();
    case STATE_STUB: return run_stub_state();
    case STATE_SHORTCUT: return run_shortcut_state();
    case STATE_LAUNCH: return run_launch_state();
    case STATE_DONE: return run_done_state();
  }
  error("Install error (err=12).");
}

}  // namespace

WizardState apply_outcome(int outcome) {
  switch (outcome) {
    case 0: error("Install error (err=10).");
    case RESULT_CANCEL: error(nullptr);
    case RESULT_BACK: return back_state;
    case RESULT_NEXT: return next_state;
    case RESULT_QUIT: exit_installer(0);
    default: error("Install error (err=11).");
  }
}

int run_wizard(int argc, char** argv) {
  start_up(argc, argv);
  current_state = STATE_WELCOME;
  // STATE_DONE is the only state that leads to itself.
  for (;;) {
    const WizardState state = current_state;
    current_state = run_state(state);
    if (state == STATE_DONE) break;
  }
  if (payload_file != nullptr) {
    std::fclose(payload_file);
    payload_file = nullptr;
  }
  return 0;
}

}  // namespace telo
