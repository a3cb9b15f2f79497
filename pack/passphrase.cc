#include "pack/passphrase.h"

#include <sodium.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace telo {

namespace {

// The terminal's settings while echo is off, for the interrupt handler
// that must give the user back a terminal that echoes.
struct termios saved_terminal;
constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restore_terminal_and_die(int signal_number) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Echo off on standard input for as long as it lives.
struct NoEcho {
  bool active = false;
  NoEcho() {
    if (::tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
    struct termios quiet = saved_terminal;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    for (int signal_number : kRestoreSignals) ::signal(signal_number, restore_terminal_and_die);
    active = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
  }
  ~NoEcho() {
    if (active) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    for (int signal_number : kRestoreSignals) ::signal(signal_number, SIG_DFL);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;
};

// One line from standard input, a byte at a time so that nothing after it
// is taken from a pipe. End of input before any byte is no answer at all
// (a CI job with nothing on its standard input), which is refused.
bool read_line(Passphrase* passphrase, std::string* fault) {
  passphrase->size = 0;
  for (bool any = false;; any = true) {
    char c = 0;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *fault = std::string("cannot read the passphrase: ") + std::strerror(errno);
      return false;
    }
    if (n == 0 && !any) {
      *fault = "no passphrase: standard input ended before a line";
      return false;
    }
    if (n == 0 || c == '\n') break;
    if (passphrase->size >= passphrase->bytes.size()) {
      *fault = "the passphrase is longer than " + std::to_string(passphrase->bytes.size()) + " bytes";
      return false;
    }
    passphrase->bytes[passphrase->size++] = c;
  }
  if (passphrase->size > 0 && passphrase->bytes[passphrase->size - 1] == '\r') --passphrase->size;
  return true;
}

bool ask(std::string_view prompt, Passphrase* passphrase, std::string* fault) {
  std::fprintf(stderr, "%.*s", static_cast<int>(prompt.size()), prompt.data());
  std::fflush(stderr);
  NoEcho quiet;
  return read_line(passphrase, fault);
}

}  // namespace

Passphrase::~Passphrase() { sodium_memzero(bytes.data(), bytes.size()); }

bool read_passphrase(std::string_view prompt, bool confirm, Passphrase* passphrase, std::string* fault) {
  if (::isatty(STDIN_FILENO) != 1) return read_line(passphrase, fault);
  if (!ask(prompt, passphrase, fault)) return false;
  if (!confirm) return true;
  Passphrase again;
  if (!ask("Passphrase again: ", &again, fault)) return false;
  if (again.text() != passphrase->text()) {
    *fault = "the two passphrases differ";
    return false;
  }
  return true;
}

}  // namespace telo
