// Preloaded into a program under test (ld.so --preload): cuts a file short
// at the moment the program reads a chosen offset for the chosen time, so
// that a whole-program test meets a file that shrinks while it is read at a
// point of its choosing. Set by the environment:
//   TELO_TEST_CUT_FILE     the file to cut
//   TELO_TEST_CUT_AT_READ  the offset whose reading cuts it
//   TELO_TEST_CUT_ON_TIME  the how-manyth read of that offset does (1 unless set)
//   TELO_TEST_CUT_TO       the size it is cut to
// The file is cut before the read that triggers it, and only once.

#include <dlfcn.h>
#include <sys/types.h>

#include <atomic>
#include <cstdlib>

extern "C" int truncate(const char* path, off_t length) noexcept;

namespace {

std::atomic<int> reads_seen{0};

long long number_from(const char* name, long long otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::atoll(text) : otherwise;
}

void cut_when_due(off_t offset) {
  static const char* const file = std::getenv("TELO_TEST_CUT_FILE");
  static const long long at = number_from("TELO_TEST_CUT_AT_READ", -1);
  static const long long time = number_from("TELO_TEST_CUT_ON_TIME", 1);
  static const long long to = number_from("TELO_TEST_CUT_TO", 0);
  if (file == nullptr || offset != at) return;
  if (reads_seen.fetch_add(1) + 1 == time) (void)truncate(file, static_cast<off_t>(to));
}

using Pread = ssize_t (*)(int, void*, size_t, off_t);

}  // namespace

// Named by their symbols: the C library's headers may already rename pread.
extern "C" ssize_t cut_pread(int fd, void* into, size_t length, off_t offset) __asm__("pread");
extern "C" ssize_t cut_pread64(int fd, void* into, size_t length, off_t offset) __asm__("pread64");

extern "C" ssize_t cut_pread(int fd, void* into, size_t length, off_t offset) {
  static const auto real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread"));
  cut_when_due(offset);
  return real(fd, into, length, offset);
}

extern "C" ssize_t cut_pread64(int fd, void* into, size_t length, off_t offset) {
  static const auto real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread64"));
  cut_when_due(offset);
  return real(fd, into, length, offset);
}
