#include "wizard/entry_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace telo {

namespace {

// O_NONBLOCK: a FIFO swapped in after the check must not hold the installer.
constexpr int kWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The calling thread's file-system identity while the guard lives: the
// super-user creating a user's file gets that user's rights and no more.
struct FileSystemIdentity {
  bool switched = false;
  bool ok = true;

  explicit FileSystemIdentity(const EntryOwner& owner) {
    if (!owner.given || geteuid() != 0 || owner.uid == 0) return;
    switched = true;
    (void)setfsgid(owner.gid);
    (void)setfsuid(owner.uid);
    // Each call answers the identity before it, so a second one tells whether the first took.
    ok = static_cast<uid_t>(setfsuid(owner.uid)) == owner.uid &&
         static_cast<gid_t>(setfsgid(owner.gid)) == owner.gid;
  }
  ~FileSystemIdentity() {
    if (!switched) return;
    (void)setfsuid(geteuid());
    (void)setfsgid(getegid());
  }
  FileSystemIdentity(const FileSystemIdentity&) = delete;
  FileSystemIdentity& operator=(const FileSystemIdentity&) = delete;
};

// A folder of someone else is written as that someone when we are the super-user.
EntryOwner owner_for(EntryOwner owner, const struct stat& folder) {
  if (owner.given || geteuid() != 0 || folder.st_uid == 0) return owner;
  const passwd* user = getpwuid(folder.st_uid);
  return {true, folder.st_uid, user != nullptr ? user->pw_gid : folder.st_gid};
}

struct Descriptor {
  int fd = -1;
  explicit Descriptor(int opened) : fd(opened) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  int release() {
    int kept = fd;
    fd = -1;
    return kept;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

EntryOpen refusal_of_open(int error) {
  // ELOOP: a link; ENXIO: a FIFO without reader; EEXIST: planted after the check.
  return error == ELOOP || error == ENXIO || error == EEXIST ? EntryOpen::kFileRefused
                                                              : EntryOpen::kNotWritable;
}

// Opens the file at `name` below `folder`: created when absent, else only the
// plain file seen before the open, with one name, owned by `uid`. `fd` is
// set only when the answer is kOpened.
EntryOpen open_in_folder(int folder, const char* name, mode_t mode, uid_t uid, int& fd) {
  struct stat seen {};
  bool created = false;
  int opened_fd;
  if (fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return EntryOpen::kNotWritable;
    opened_fd = openat(folder, name, kWriteFlags | O_CREAT | O_EXCL, mode);
    created = true;
  } else {
    if (!S_ISREG(seen.st_mode)) return EntryOpen::kFileRefused;
    opened_fd = openat(folder, name, kWriteFlags);
  }
  if (opened_fd < 0) return refusal_of_open(errno);
  Descriptor file(opened_fd);
  struct stat opened {};
  if (fstat(file.fd, &opened) != 0) return EntryOpen::kNotWritable;
  // A second name would let a user's planted hard link reach some other file.
  if (!S_ISREG(opened.st_mode) || opened.st_nlink != 1 || opened.st_uid != uid ||
      (!created && (opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)))
    return EntryOpen::kFileRefused;
  if (ftruncate(file.fd, 0) != 0) return EntryOpen::kNotWritable;
  fd = file.release();
  return EntryOpen::kOpened;
}

}  // namespace

EntryFile open_entry_file(const char* folder, const char* name, mode_t mode, EntryOwner owner) {
  EntryFile file;
  // Only the super-user could be steered by a link: a user's own Desktop may be one.
  const int follow = geteuid() == 0 ? O_NOFOLLOW : 0;
  Descriptor directory(open(folder, O_RDONLY | O_DIRECTORY | follow | O_NONBLOCK | O_CLOEXEC));
  if (directory.fd < 0) {
    file.result = errno == ELOOP || errno == ENOTDIR ? EntryOpen::kFolderRefused : EntryOpen::kNoFolder;
    return file;
  }
  struct stat folder_facts {};
  if (fstat(directory.fd, &folder_facts) != 0) return file;
  file.owner = owner_for(owner, folder_facts);
  FileSystemIdentity identity(file.owner);
  if (!identity.ok) return file;
  const uid_t expected = file.owner.given ? file.owner.uid : geteuid();
  file.result = open_in_folder(directory.fd, name, mode, expected, file.fd);
  return file;
}

void close_entry_file(EntryFile& file, mode_t mode) {
  if (file.fd < 0) return;
  if (file.owner.given) (void)fchown(file.fd, file.owner.uid, file.owner.gid);
  (void)fchmod(file.fd, mode);
  ::close(file.fd);
  file.fd = -1;
}

}  // namespace telo
