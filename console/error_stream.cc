#include "console/error_stream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace telo {

namespace {

bool reader_gone = false;

// Waits until standard error takes more; false when it never will.
bool wait_until_writable() {
  pollfd entry{STDERR_FILENO, POLLOUT, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, -1);
    if (ready > 0) return (entry.revents & POLLNVAL) == 0;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

int say_bytes(const char* bytes, std::size_t length) {
  if (reader_gone) return -1;
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(STDERR_FILENO, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_writable()) continue;
    if (n < 0 && errno == EPIPE) reader_gone = true;
    return -1;  // the rest of this text is lost; the installation goes on
  }
  return static_cast<int>(done);
}

int say(const char* format, ...) {
  char small[1024];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (length < 0) return -1;
  if (static_cast<std::size_t>(length) < sizeof small) return say_bytes(small, static_cast<std::size_t>(length));
  // Paths make a few texts longer than the buffer.
  auto* large = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
  if (large == nullptr) return say_bytes(small, sizeof small - 1);
  va_start(arguments, format);
  std::vsnprintf(large, static_cast<std::size_t>(length) + 1, format, arguments);
  va_end(arguments);
  int written = say_bytes(large, static_cast<std::size_t>(length));
  std::free(large);
  return written;
}

bool output_lost() { return reader_gone; }

}  // namespace telo
