#include "installer/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace telo {

OutputFile::~OutputFile() {
  if (fd >= 0) ::close(fd);
}

// Only a regular file is written: a FIFO planted at the path would stall the
// installation (O_NONBLOCK makes its open fail at once), and a device must
// never receive a file's contents.
bool open_output_file(const char* path, OutputFile* file) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  constexpr mode_t kCreationMode = 0666;  // the umask applies, as for fopen
  int fd;
  do {
    fd = ::open(path, kFlags, kCreationMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = EEXIST;
    return false;
  }
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (file->fd >= 0) ::close(file->fd);
  file->fd = fd;
  return true;
}

bool write_output_file(OutputFile* file, std::span<const std::uint8_t> data) {
  const std::uint8_t* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t written = ::write(file->fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

void restore_time_and_mode(OutputFile* file, std::uint32_t mtime, std::uint16_t mode) {
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  (void)::futimens(file->fd, times);
  (void)::fchmod(file->fd, static_cast<mode_t>(mode));
}

bool close_output_file(OutputFile* file) {
  int fd = file->fd;
  file->fd = -1;
  return fd < 0 || ::close(fd) == 0;
}

}  // namespace telo
