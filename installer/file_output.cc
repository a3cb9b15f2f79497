#include "installer/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace telo {

bool output_without_tmpfile = false;

namespace {

constexpr std::size_t kNameMax = 255;
constexpr mode_t kCreationMode = 0666;  // the umask applies, as for fopen

bool fail_with(int error) {
  errno = error;
  return false;
}

// What stands at the target decides whether it may be replaced.
bool check_target(OutputFile* file) {
  if (file->name.empty() || file->name == "." || file->name == "..") return fail_with(EISDIR);
  struct stat info;
  if (::fstatat(file->parent, file->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (S_ISLNK(info.st_mode)) return fail_with(ELOOP);
  if (S_ISDIR(info.st_mode)) return fail_with(EISDIR);
  if (!S_ISREG(info.st_mode)) return fail_with(EEXIST);
  // A file we could not have opened for writing is not replaced either.
  if (::faccessat(file->parent, file->name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return false;
  file->replaces = true;
  file->old_owner = info.st_uid;
  file->old_group = info.st_gid;
  file->old_mode = info.st_mode & 07777;
  return true;
}

// A file with no name in the target's directory, or -1 where the file
// system cannot make one. It gets its name through /proc (which needs no
// privilege, unlike a link from the descriptor itself), so without /proc
// the file is named from the start.
int open_nameless(int parent) {
  static const bool proc_mounted = ::access("/proc/self/fd", X_OK) == 0;
  if (output_without_tmpfile || !proc_mounted) {
    errno = EOPNOTSUPP;
    return -1;
  }
  int fd;
  do {
    fd = ::openat(parent, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kCreationMode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The temporary file under its own name, emptied if a run cut short left it.
int open_temporary(OutputFile* file) {
  file->temp_name = temporary_name(file->name);
  (void)::unlinkat(file->parent, file->temp_name.c_str(), 0);
  int fd;
  do {
    fd = ::openat(file->parent, file->temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  kCreationMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) file->temp_name.clear();
  return fd;
}

// A nameless file gets the temporary name just before the rename.
bool name_nameless(OutputFile* file) {
  file->temp_name = temporary_name(file->name);
  (void)::unlinkat(file->parent, file->temp_name.c_str(), 0);
  const std::string self = "/proc/self/fd/" + std::to_string(file->fd);
  if (::linkat(AT_FDCWD, self.c_str(), file->parent, file->temp_name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  file->temp_name.clear();
  return false;
}

}  // namespace

std::string temporary_name(const std::string& name) {
  std::string temp = "." + name + ".telo-new";
  if (temp.size() <= kNameMax) return temp;
  // Too long to decorate: a fixed-width name from the name's hash (FNV-1a).
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(".telo-new-") + digits;
}

OutputFile::~OutputFile() { discard_output_file(this); }

void discard_output_file(OutputFile* file) {
  if (file->fd >= 0) ::close(file->fd);
  if (!file->temp_name.empty()) (void)::unlinkat(file->parent, file->temp_name.c_str(), 0);
  if (file->parent >= 0) ::close(file->parent);
  file->fd = -1;
  file->parent = -1;
  file->name.clear();
  file->temp_name.clear();
  file->replaces = false;
}

bool open_output_file(int parent, const std::string& name, OutputFile* file) {
  file->parent = parent;
  file->name = name;
  if (!check_target(file)) return false;
  file->fd = open_nameless(parent);
  if (file->fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
    return false;  // a real refusal (no room, no right), not a missing feature
  if (file->fd < 0) file->fd = open_temporary(file);
  if (file->fd < 0) return false;
  // A replaced file keeps its owner; only the super-user may give it.
  if (file->replaces) (void)::fchown(file->fd, file->old_owner, file->old_group);
  return true;
}

bool write_output_file(OutputFile* file, std::span<const std::uint8_t> data) {
  const std::uint8_t* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t written = ::write(file->fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
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

bool commit_output_file(OutputFile* file, bool keep_mode) {
  if (file->replaces && keep_mode) (void)::fchmod(file->fd, file->old_mode);
  if (file->temp_name.empty() && !name_nameless(file)) return false;
  if (::renameat(file->parent, file->temp_name.c_str(), file->parent, file->name.c_str()) != 0) return false;
  file->temp_name.clear();
  const int fd = file->fd;
  file->fd = -1;
  return ::close(fd) == 0;
}

}  // namespace telo
