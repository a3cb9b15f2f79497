#include "console/prompt.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "console/error_stream.h"

namespace telo {

int auto_mode = 0;

// Unbuffered, so that nothing typed ahead is held back from the programs
// the installer starts later.
int read_input_char() {
  unsigned char c;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return kEndOfInput;
  }
}

namespace {

int fold_case(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

void print_prompt(const char* question, const char* choices) {
  say("\n");
  if (question != nullptr) say("%s ", question);
  say("[%s]: ", choices);
}

void discard_rest_of_line() {
  for (;;) {
    int c = read_input_char();
    if (c == kEndOfInput || c == '\0' || c == '\n') return;
  }
}

}  // namespace

int ask_choice(const char* question, const char* choices, const char* keys,
               const int* outcomes, int count, int default_outcome) {
  if (output_lost()) return RESULT_CANCEL;
  if (auto_mode != 0 && default_outcome != 0) return default_outcome;
  print_prompt(question, choices);
  for (;;) {
    int c = read_input_char();
    if (c == kEndOfInput || c == '\0') return RESULT_CANCEL;
    c = fold_case(c);
    if (c == '\n') {
      print_prompt(question, choices);
      continue;
    }
    for (int i = 0; i < count; ++i) {
      if (c == static_cast<unsigned char>(keys[i])) {
        discard_rest_of_line();
        return outcomes[i];
      }
    }
  }
}

int ask_ok_cancel(const char* question, int default_outcome) {
  static constexpr int kOutcomes[] = {RESULT_CANCEL, RESULT_OK};
  return ask_choice(question, "Ok? Cancel?", "co", kOutcomes, 2, default_outcome);
}

int ask_yes_no_cancel(const char* question, int default_outcome) {
  static constexpr int kOutcomes[] = {RESULT_YES, RESULT_NO, RESULT_CANCEL};
  return ask_choice(question, "No? Yes? Cancel?", "ync", kOutcomes, 3, default_outcome);
}

int ask_ok() {
  static constexpr int kOutcomes[] = {RESULT_OK};
  return ask_choice("", "Ok?", "o", kOutcomes, 1, RESULT_OK);
}

int ask_back_next_cancel() {
  static constexpr int kOutcomes[] = {RESULT_CANCEL, RESULT_NEXT, RESULT_BACK};
  return ask_choice(nullptr, "Back? Next? Cancel?", "cnb", kOutcomes, 3, RESULT_NEXT);
}

}  // namespace telo
