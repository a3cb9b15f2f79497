#pragma once

#include "console/error_stream.h"
#include "console/outcome.h"

namespace telo {

// Nonzero while prompts with a nonzero default answer themselves silently.
extern int auto_mode;

// One-line hot-key prompt on standard error, answered from standard input.
// `keys` are lower-case; the first key met anywhere on the typed line decides.
// End of input (or a zero byte) gives RESULT_CANCEL, and so does a standard
// error whose reader is gone: nobody sees the questions any more.
int ask_choice(const char* question, const char* choices, const char* keys,
               const int* outcomes, int count, int default_outcome);

// One byte of standard input, or kEndOfInput.
inline constexpr int kEndOfInput = -1;
int read_input_char();

int ask_ok_cancel(const char* question, int default_outcome);
int ask_yes_no_cancel(const char* question, int default_outcome);
int ask_ok();
int ask_back_next_cancel();

}  // namespace telo
