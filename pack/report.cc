#include "pack/report.h"

#include <cstdarg>
#include <cstdio>

namespace telo {

namespace {

void report(const char* kind, const char* format, std::va_list args) {
  std::fprintf(stderr, "telo-pack: %s: ", kind);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

}  // namespace

void pack_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  report("error", format, args);
  va_end(args);
}

void pack_warning(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  report("warning", format, args);
  va_end(args);
}

}  // namespace telo
