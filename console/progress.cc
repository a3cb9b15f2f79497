#include "console/progress.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/error_stream.h"

namespace telo {

namespace {

constexpr std::size_t kShownWhole = 40;  // longer texts keep only their tail

// What the line on screen shows; idle when printed_count is 0 and both
// percentages are -1.
int last_files_percent = -1;
int last_bytes_percent = -1;
char* last_text = nullptr;
int printed_count = 0;

// Writes `pattern` `times` times in as few writes as a small buffer allows.
void write_repeated(const char* pattern, std::size_t pattern_length, int times) {
  char buffer[1536];
  const std::size_t per_buffer = sizeof buffer / pattern_length;
  for (std::size_t i = 0; i < per_buffer; ++i)
    std::memcpy(buffer + i * pattern_length, pattern, pattern_length);
  std::size_t left = times > 0 ? static_cast<std::size_t>(times) : 0;
  while (left > 0) {
    std::size_t n = left < per_buffer ? left : per_buffer;
    say_bytes(buffer, pattern_length * n);
    left -= n;
  }
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// "..." followed by `tail`, malloc'd; null when memory runs out.
char* elided(const char* tail) {
  std::size_t length = std::strlen(tail);
  auto* shown = static_cast<char*>(std::malloc(3 + length + 1));
  if (shown == nullptr) return nullptr;
  std::memcpy(shown, "...", 3);
  std::memcpy(shown + 3, tail, length + 1);
  return shown;
}

// The text as displayed: whole up to 40 characters, else "..." and the tail
// from the first separator at index 40 or later (or from index 40). Null
// means the whole text; otherwise the caller frees the result.
char* shorten(const char* text) {
  std::size_t length = std::strlen(text);
  if (length <= kShownWhole) return nullptr;
  for (std::size_t k = kShownWhole; k < length; ++k) {
    if (!is_separator(text[k])) continue;
    if (char* shown = elided(text + k)) return shown;
    break;
  }
  return elided(text + kShownWhole);
}

// Only a terminal has output to drain; on a pipe or a file the call would
// fail once per file drawn, so whether it is one is asked once.
void drain_standard_error() {
  static const bool on_terminal = ::isatty(STDERR_FILENO) == 1;
  if (on_terminal) (void)::tcdrain(STDERR_FILENO);
}

void clear_line() {
  write_repeated("\b \b", 3, printed_count);
  printed_count = 0;
  last_files_percent = -1;
  last_bytes_percent = -1;
  std::free(last_text);
  last_text = nullptr;
}

void redraw(const char* text, int files_percent, int bytes_percent) {
  write_repeated("\b", 1, printed_count);
  printed_count = 0;
  char* shown = shorten(text);
  printed_count = say("%3d%% %3d%%  %s ", files_percent, bytes_percent,
                      shown != nullptr ? shown : text);
  std::free(shown);
  last_files_percent = files_percent;
  last_bytes_percent = bytes_percent;
  std::free(last_text);
  last_text = strdup(text);  // null on failure: the next call redraws
}

}  // namespace

void show_progress(const char* text, int files_percent, int bytes_percent) {
  if (text == nullptr) {
    clear_line();
  } else if (files_percent != last_files_percent || bytes_percent != last_bytes_percent ||
             last_text == nullptr || std::strcmp(last_text, text) != 0) {
    redraw(text, files_percent, bytes_percent);
  }
  drain_standard_error();
}

}  // namespace telo
