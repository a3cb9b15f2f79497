#include "installer/beneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#if defined(SYS_openat2)
#include <linux/openat2.h>
#endif

#include "payload/record_path.h"

namespace telo {

bool beneath_by_walking = false;

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows in one resolution
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Closes a descriptor at scope end unless released.
struct Fd {
  int fd = -1;
  explicit Fd(int value = -1) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd >= 0) ::close(fd);
      fd = other.release();
    }
    return *this;
  }
  int release() {
    int value = fd;
    fd = -1;
    return value;
  }
};

int fail_with(int error) {
  errno = error;
  return -1;
}

// Queues the components of `path` to be walked, before those pending
// (a link's target) or after them.
void push_components(std::string_view path, std::deque<std::string>* pending, bool at_front) {
  const std::vector<std::string_view> parts = path_components(path);
  if (at_front) pending->insert(pending->begin(), parts.begin(), parts.end());
  else pending->insert(pending->end(), parts.begin(), parts.end());
}

// Reads the link `name` in `dir`; false with errno set when it cannot.
bool read_link(int dir, const std::string& name, std::string* target) {
  char buffer[4096];
  ssize_t n = ::readlinkat(dir, name.c_str(), buffer, sizeof buffer);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) == sizeof buffer) {
    errno = ENAMETOOLONG;
    return false;
  }
  target->assign(buffer, static_cast<std::size_t>(n));
  return true;
}

// An absolute link's target seen from the root: what follows the first
// prefix of it that is the root directory itself (the same file). False
// when no prefix is: the link leads elsewhere. The prefix is looked up as
// any path is, but only decides where the walk goes on, always below root.
bool inside_root(int root, const std::string& target, std::string* rest) {
  struct stat root_info;
  if (::fstat(root, &root_info) != 0) return false;
  const std::vector<std::string_view> parts = path_components(target);
  std::string prefix = "/";
  for (std::size_t n = 0; n <= parts.size(); ++n) {
    if (n > 1) prefix += '/';
    if (n > 0) prefix.append(parts[n - 1]);
    struct stat info;
    if (::stat(prefix.c_str(), &info) != 0) return false;
    if (info.st_dev == root_info.st_dev && info.st_ino == root_info.st_ino) {
      rest->clear();
      for (std::size_t k = n; k < parts.size(); ++k) rest->append(parts[k]).push_back('/');
      return true;
    }
  }
  return false;
}

// The walk by hand: a stack of the directories passed through, so that ".."
// (from a link) goes back up, but never above `root`; an absolute link
// starts again at root when it names a path inside it.
int walk_beneath(int root, std::string_view rel) {
  std::vector<Fd> stack;
  stack.emplace_back(::openat(root, ".", kDirectoryFlags));
  if (stack.back().fd < 0) return -1;
  std::deque<std::string> pending;
  push_components(rel, &pending, false);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (name == "..") {
      if (stack.size() == 1) return fail_with(ELOOP);  // would leave root
      stack.pop_back();
      continue;
    }
    const int here = stack.back().fd;
    struct stat info;
    if (::fstatat(here, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(info.st_mode)) {
      std::string target;
      if (++links > kMaxLinks) return fail_with(ELOOP);
      if (!read_link(here, name, &target)) return -1;
      if (target.empty()) return fail_with(ENOENT);
      if (target.front() == '/') {
        std::string rest;
        if (!inside_root(root, target, &rest)) return fail_with(ELOOP);
        stack.resize(1);
        target = rest;
      }
      push_components(target, &pending, true);
      continue;
    }
    if (!S_ISDIR(info.st_mode)) return fail_with(ENOTDIR);
    stack.emplace_back(::openat(here, name.c_str(), kDirectoryFlags | O_NOFOLLOW));
    if (stack.back().fd < 0) return -1;
  }
  return stack.back().release();
}

#if defined(SYS_openat2)
// The kernel's own resolution; -2 when this kernel (or a filter in front of
// it) does not offer it, -3 when the walk must decide (the kernel refuses
// every absolute link, even one that names a path inside root).
int openat2_beneath(int root, std::string_view rel) {
  while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);  // a doubled separator after root
  const std::string path = rel.empty() ? std::string(".") : std::string(rel);
  open_how how{};
  how.flags = kDirectoryFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const long fd = ::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EAGAIN) continue;  // a rename raced the resolution: try again
    if (errno == ENOSYS || errno == EPERM || errno == EINVAL || errno == E2BIG) return -2;
    if (errno == EXDEV) return -3;  // leaves root, or an absolute link
    return -1;
  }
  return -2;
}
#endif

// A directory we have just made gets the mode asked for, whatever a
// default ACL of its parent made of it. It is opened without following a
// link and changed only while it is ours: another user may have swapped it.
void set_created_mode(int parent, const std::string& name, mode_t mode) {
  Fd made(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (made.fd < 0 || ::fstat(made.fd, &info) != 0 || info.st_uid != ::geteuid()) return;
  if ((info.st_mode & 07777) != mode) (void)::fchmod(made.fd, mode);
}

}  // namespace

int open_beneath(int root, std::string_view rel) {
#if defined(SYS_openat2)
  if (!beneath_by_walking) {
    const int saved = errno;
    const int fd = openat2_beneath(root, rel);
    if (fd >= -1) return fd;
    errno = saved;
    if (fd == -2) beneath_by_walking = true;  // not offered here: walk from now on
  }
#endif
  return walk_beneath(root, rel);
}

int make_directories_beneath(int root, std::string_view rel, mode_t mode, bool* made_last) {
  if (made_last != nullptr) *made_last = false;
  std::deque<std::string> components;
  push_components(rel, &components, false);
  Fd parent(open_beneath(root, ""));
  if (parent.fd < 0) return -1;
  std::string prefix;
  for (const std::string& name : components) {
    if (!prefix.empty()) prefix += '/';
    prefix += name;
    const bool made = ::mkdirat(parent.fd, name.c_str(), mode) == 0;
    const int mkdir_error = errno;
    if (made) set_created_mode(parent.fd, name, mode);
    Fd next(open_beneath(root, prefix));
    if (next.fd < 0) {
      // Something other than a directory stands there (a file, or a link
      // that leads nowhere): say so as mkdir would.
      if (!made && mkdir_error == EEXIST && (errno == ENOTDIR || errno == ENOENT)) errno = EEXIST;
      if (!made && mkdir_error != EEXIST) errno = mkdir_error;
      return -1;
    }
    parent = std::move(next);
    if (made_last != nullptr) *made_last = made;
  }
  return parent.release();
}

int open_guarded_beneath(int root, std::string_view rel, struct stat* info) {
  const uid_t self = ::geteuid();
  const auto guarded = [self](const struct stat& s) {
    return S_ISDIR(s.st_mode) && (s.st_uid == self || s.st_uid == 0) && (s.st_mode & 022) == 0;
  };
  if (::fstat(root, info) != 0 || !guarded(*info)) return -1;
  Fd here(::openat(root, ".", kDirectoryFlags));
  if (here.fd < 0) return -1;
  const std::vector<std::string_view> parts = path_components(rel);
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (parts[k] == "..") return -1;
    const std::string name(parts[k]);
    Fd next(::openat(here.fd, name.c_str(), kDirectoryFlags | O_NOFOLLOW));
    if (next.fd < 0 || ::fstat(next.fd, info) != 0 || !S_ISDIR(info->st_mode)) return -1;
    // The last folder's own entries may be anyone's: its files are looked at per record.
    if (k + 1 < parts.size() && !guarded(*info)) return -1;
    here = std::move(next);
  }
  return here.release();
}

int open_parent_beneath(int root, std::string_view rel, std::string* name) {
  std::string path(rel);
  for (int links = 0;; ++links) {
    const PathSplit split = split_last_component(path);
    const std::string directories(split.directories);
    *name = std::string(split.name);
    Fd parent(open_beneath(root, directories));
    if (parent.fd < 0) return -1;
    struct stat info;
    if (names_no_entry(*name) ||
        ::fstatat(parent.fd, name->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(info.st_mode))
      return parent.release();
    if (links == kMaxLinks) return fail_with(ELOOP);
    std::string target;
    if (!read_link(parent.fd, *name, &target)) return -1;
    if (target.empty()) return fail_with(ENOENT);
    if (target.front() == '/') {
      if (!inside_root(root, target, &path)) return fail_with(ELOOP);
      if (!path.empty()) path.pop_back();  // the rest comes with a '/' after each component
    } else {
      path = directories + target;
    }
  }
}

}  // namespace telo
