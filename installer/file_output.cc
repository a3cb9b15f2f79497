#include "installer/file_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "payload/record_path.h"

namespace telo {

bool output_without_tmpfile = false;

namespace {

constexpr std::size_t kNameMax = 255;
constexpr mode_t kCreationMode = 0666;  // the umask applies, as for fopen
constexpr int kNameAttempts = 100;      // names already taken before we give up
constexpr const char* kAccessAcl = "system.posix_acl_access";

std::uint64_t random_serial() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value)
    value = static_cast<std::uint64_t>(::time(nullptr)) * 2654435761u ^ static_cast<std::uint64_t>(::getpid());
  return value;
}

// The named temporary being written, for a signal handler to remove: the
// name is complete before `pending` is set, and `pending` is cleared before
// the name changes or goes.
std::atomic<bool> pending{false};
int pending_parent = -1;
char pending_name[kNameMax + 1];

void set_pending(int parent, const std::string& name) {
  pending.store(false);
  pending_parent = parent;
  std::memcpy(pending_name, name.c_str(), name.size() + 1);
  pending.store(true);
}

extern "C" void remove_pending_and_end(int signal_number) {
  if (pending.load()) (void)::unlinkat(pending_parent, pending_name, 0);
  // The handler was reset on entry: the signal ends the process once we return.
  (void)::raise(signal_number);
}

bool fail_with(int error) {
  errno = error;
  return false;
}

// What stands at the target decides whether it may be replaced.
bool check_target(OutputFile* file) {
  if (names_no_entry(file->name)) return fail_with(EISDIR);
  file->old_file = ::openat(file->parent, file->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (file->old_file < 0) return errno == ENOENT;
  struct stat info;
  if (::fstat(file->old_file, &info) != 0) return false;
  if (S_ISLNK(info.st_mode)) return fail_with(ELOOP);
  if (S_ISDIR(info.st_mode)) return fail_with(EISDIR);
  if (!S_ISREG(info.st_mode)) return fail_with(EEXIST);
  // A file we could not have opened for writing is not replaced either.
  if (::faccessat(file->parent, file->name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return false;
  file->replaces = true;
  file->old_owner = info.st_uid;
  file->old_group = info.st_gid;
  file->old_mode = info.st_mode & 07777;
  file->old_links = info.st_nlink;
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

// The temporary file under a name of its own: one that nobody holds yet.
int open_temporary(OutputFile* file) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string temp = temporary_name(file->name, next_temporary_serial++);
    int fd;
    do {
      fd = ::openat(file->parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCreationMode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      file->temp_name = temp;
      set_pending(file->parent, temp);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// A nameless file that replaces nothing takes its name at once; false, with
// the name as it was, when that fails (someone took it meanwhile).
bool link_nameless(OutputFile* file) {
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", file->fd);
  return ::linkat(AT_FDCWD, self, file->parent, file->name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A nameless file gets a temporary name of its own just before the rename.
bool name_nameless(OutputFile* file) {
  const std::string self = "/proc/self/fd/" + std::to_string(file->fd);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string temp = temporary_name(file->name, next_temporary_serial++);
    if (::linkat(AT_FDCWD, self.c_str(), file->parent, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      file->temp_name = temp;
      set_pending(file->parent, temp);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// The old file's access ACL goes to the new one; the record's mode (or the
// old mode) then sets its mask, as chmod on the old file would.
void copy_access_acl(const OutputFile& file) {
  const std::string old_path = "/proc/self/fd/" + std::to_string(file.old_file);
  std::vector<char> acl(512);
  ssize_t n = ::getxattr(old_path.c_str(), kAccessAcl, acl.data(), acl.size());
  if (n < 0 && errno == ERANGE) {
    n = ::getxattr(old_path.c_str(), kAccessAcl, nullptr, 0);
    if (n <= 0) return;
    acl.resize(static_cast<std::size_t>(n));
    n = ::getxattr(old_path.c_str(), kAccessAcl, acl.data(), acl.size());
  }
  if (n > 0) (void)::fsetxattr(file.fd, kAccessAcl, acl.data(), static_cast<std::size_t>(n), 0);
}

// The directory takes no new entry, but the old file may be written: the
// contents wait in memory until they are whole and checked.
bool open_in_place(OutputFile* file) {
  file->in_place = ::openat(file->parent, file->name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file->in_place < 0) return false;
  struct stat opened, checked;
  if (::fstat(file->in_place, &opened) != 0 || ::fstat(file->old_file, &checked) != 0) return false;
  if (opened.st_dev != checked.st_dev || opened.st_ino != checked.st_ino) return fail_with(EAGAIN);
  file->fd = ::memfd_create("telo-contents", MFD_CLOEXEC);
  return file->fd >= 0;
}

bool write_all(int fd, const std::uint8_t* next, std::size_t left) {
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
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

// Copies the checked contents over the old file, then cuts it to their size.
bool commit_in_place(OutputFile* file) {
  if (::lseek(file->fd, 0, SEEK_SET) != 0) return false;
  std::vector<std::uint8_t> buffer(1 << 16);
  off_t total = 0;
  for (;;) {
    const ssize_t n = ::read(file->fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!write_all(file->in_place, buffer.data(), static_cast<std::size_t>(n))) return false;
    total += n;
  }
  if (::ftruncate(file->in_place, total) != 0) return false;
  if (file->set_times) {
    const timespec times[2] = {{static_cast<time_t>(file->mtime), 0}, {static_cast<time_t>(file->mtime), 0}};
    (void)::futimens(file->in_place, times);
    (void)::fchmod(file->in_place, static_cast<mode_t>(file->mode));
  }
  const int fd = file->in_place;
  file->in_place = -1;
  return ::close(fd) == 0;
}

void close_if_open(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

std::uint64_t next_temporary_serial = random_serial();

std::string temporary_name(const std::string& name, std::uint64_t serial) {
  char tail[24];
  std::snprintf(tail, sizeof tail, ".telo-%012llx", static_cast<unsigned long long>(serial & 0xFFFFFFFFFFFFull));
  std::string temp(".");  // appended: GCC 12 warns falsely on a literal + string
  temp += name;
  temp += tail;
  if (temp.size() <= kNameMax) return temp;
  // Too long to decorate: a fixed-width name from the name's hash (FNV-1a).
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(".") + digits + tail;
}

void remove_temporaries_on_signals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction old {};
    if (::sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_pending_and_end;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(signal_number, &action, nullptr);
  }
}

OutputFile::~OutputFile() { discard_output_file(this); }

void discard_output_file(OutputFile* file) {
  close_if_open(&file->fd);
  if (!file->temp_name.empty()) {
    pending.store(false);
    (void)::unlinkat(file->parent, file->temp_name.c_str(), 0);
  }
  if (file->owns_parent) close_if_open(&file->parent);
  file->parent = -1;
  file->owns_parent = true;
  close_if_open(&file->old_file);
  close_if_open(&file->in_place);
  file->name.clear();
  file->temp_name.clear();
  file->replaces = false;
  file->set_times = false;
}

bool open_output_file(int parent, const std::string& name, OutputFile* file) {
  return open_output_file(parent, name, file, ParentHold::kTaken, TargetState::kUnknown);
}

bool open_output_file(int parent, const std::string& name, OutputFile* file, ParentHold hold,
                      TargetState target) {
  file->parent = parent;
  file->owns_parent = hold == ParentHold::kTaken;
  file->name = name;
  if (target == TargetState::kFree && names_no_entry(name)) return fail_with(EISDIR);
  if (target == TargetState::kUnknown && !check_target(file)) return false;
  file->fd = open_nameless(parent);
  if (file->fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
    file->fd = open_temporary(file);  // a missing feature, not a refusal
  if (file->fd < 0 && (errno == EACCES || errno == EPERM) && file->replaces &&
      (file->old_links == 1 || ::geteuid() != 0))
    return open_in_place(file);
  if (file->fd < 0) return false;
  if (file->replaces) {
    copy_access_acl(*file);
    // A replaced file keeps its owner; only the super-user may give it.
    (void)::fchown(file->fd, file->old_owner, file->old_group);
  }
  return true;
}

bool write_output_file(OutputFile* file, std::span<const std::uint8_t> data) {
  return write_all(file->fd, data.data(), data.size());
}

bool rewind_output_file(OutputFile* file) { return ::lseek(file->fd, 0, SEEK_SET) == 0; }

void restore_time_and_mode(OutputFile* file, std::uint32_t mtime, std::uint16_t mode) {
  if (file->in_place >= 0) {
    file->set_times = true;
    file->mtime = mtime;
    file->mode = mode;
    return;
  }
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  (void)::futimens(file->fd, times);
  (void)::fchmod(file->fd, static_cast<mode_t>(mode));
}

bool commit_output_file(OutputFile* file, bool keep_mode) {
  if (file->in_place >= 0) return commit_in_place(file);
  if (file->replaces && keep_mode) (void)::fchmod(file->fd, file->old_mode);
  const bool linked = file->temp_name.empty() && !file->replaces && link_nameless(file);
  if (!linked && file->temp_name.empty() && !name_nameless(file)) return false;
  if (!linked && ::renameat(file->parent, file->temp_name.c_str(), file->parent, file->name.c_str()) != 0) return false;
  pending.store(false);
  file->temp_name.clear();
  const int fd = file->fd;
  file->fd = -1;
  return ::close(fd) == 0;
}

}  // namespace telo
