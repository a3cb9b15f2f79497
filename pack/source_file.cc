#include "pack/source_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace telo {

void (*source_read_hook)(const PackEntry& entry, std::uint64_t offset) = nullptr;

void open_source_file(const PackEntry& entry, SourceFile* file) {
  *file = SourceFile{};
  const int fd = open_pack_entry(entry);
  if (fd < 0) {
    file->error = errno;
    return;
  }
  file->fd = fd;
  if (source_file_unchanged(entry, *file)) return;
  close_source_file(file);
  file->changed = true;
}

bool source_file_unchanged(const PackEntry& entry, const SourceFile& file) {
  struct stat info {};
  return file.fd >= 0 && ::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && file_stamp(info) == entry.seen;
}

void close_source_file(SourceFile* file) {
  if (file->fd >= 0) ::close(file->fd);
  file->fd = -1;
}

}  // namespace telo
