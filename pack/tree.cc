#include "pack/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "payload/format.h"
#include "payload/record_path.h"
#include "pack/report.h"

namespace telo {

namespace {

constexpr std::uint64_t kMaxRecordSize = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint16_t kRegularFileType = 0100000;
// The installer opens a record's directory by its path below the
// installation directory, which the system takes up to 4095 bytes long.
constexpr std::size_t kMaxDirectoryPart = 4095;

// The length of the directory part of a record's path, its last '/' included.
std::size_t directory_part_length(std::string_view rel_path) {
  return split_last_component(rel_path).directories.size();
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// A record stores seconds as u32, and 0 there means "no time": the installer
// would then skip restoring the mode too. Such times are moved to the nearest
// value the record can carry, with a warning.
std::uint32_t record_mtime(const struct stat& info, const std::string& path) {
  std::int64_t seconds = info.st_mtim.tv_sec;
  if (seconds <= 0) {
    pack_warning("%s: modification time %lld cannot be stored; packed as 1970-01-01 00:00:01",
                 path.c_str(), static_cast<long long>(seconds));
    return 1;
  }
  if (static_cast<std::uint64_t>(seconds) > std::numeric_limits<std::uint32_t>::max()) {
    pack_warning("%s: modification time %lld is beyond 2106; packed as the latest time a record holds",
                 path.c_str(), static_cast<long long>(seconds));
    return std::numeric_limits<std::uint32_t>::max();
  }
  return static_cast<std::uint32_t>(seconds);
}

const char* special_file_kind(mode_t mode) {
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

struct Scan {
  std::string_view prefix;
  std::uint32_t slot = 0;
  std::shared_ptr<const PackTreeRoot> tree;
  std::vector<PackEntry>* entries = nullptr;
  bool ok = true;
};

// A directory open for listing and for looking at its entries. Only the
// directory being scanned is held open, not its parents: a deep tree needs
// no more descriptors than a flat one.
struct ScanDir {
  int fd = -1;       // owned
  std::string path;  // as shown in messages
  std::string rel;   // below the tree's root, "" or ending in '/'
};

void scan_directory(Scan& scan, ScanDir& dir);

bool scan_fails(Scan& scan, const std::string& path, int error) {
  pack_error("%s: %s", path.c_str(), std::strerror(error));
  scan.ok = false;
  return false;
}

bool same_file(int fd, const struct stat& info) {
  struct stat opened {};
  return fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_dev == info.st_dev && opened.st_ino == info.st_ino;
}

// Scans a subdirectory of `parent` that must be the one `info` describes:
// nothing put in its place since is followed. The parent is closed meanwhile
// and opened again as the subdirectory's "..", which must still be it.
void scan_subdirectory(Scan& scan, ScanDir& parent, const std::string& name, const struct stat& info) {
  ScanDir dir{::openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
              parent.path + "/" + name, parent.rel + name + "/"};
  if (dir.fd < 0) {
    scan_fails(scan, dir.path, errno);
    return;
  }
  struct stat parent_info {};
  if (::fstat(parent.fd, &parent_info) != 0 || !same_file(dir.fd, info)) {
    pack_error("%s: the directory changed while being scanned", dir.path.c_str());
    scan.ok = false;
    ::close(dir.fd);
    return;
  }
  ::close(parent.fd);
  parent.fd = -1;
  scan_directory(scan, dir);
  if (dir.fd < 0) return;  // lost below, and reported there: the scan ends
  parent.fd = ::openat(dir.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::close(dir.fd);
  if (same_file(parent.fd, parent_info)) return;
  pack_error("%s: the directory moved while being scanned", parent.path.c_str());
  scan.ok = false;
  if (parent.fd >= 0) ::close(parent.fd);
  parent.fd = -1;
}

// Handles one directory entry.
void scan_entry(Scan& scan, ScanDir& dir, const std::string& name) {
  const std::string path = dir.path + "/" + name;
  const std::string rel = dir.rel + name;
  // Checked first: such a path may be too long for the host's calls as well.
  std::string rel_path = std::string(scan.prefix) + rel;
  if (rel_path.size() > kMaxRelPath) {
    pack_error("%s: path of %zu bytes is longer than a record header allows (%zu)", path.c_str(),
               rel_path.size(), kMaxRelPath);
    scan.ok = false;
    return;
  }
  if (directory_part_length(rel_path) > kMaxDirectoryPart) {
    pack_error("%s: its directories make a path of %zu bytes; the installer opens at most %zu", path.c_str(),
               directory_part_length(rel_path), kMaxDirectoryPart);
    scan.ok = false;
    return;
  }
  // The installer takes a backslash for a separator too when it creates a
  // file's directories: a file "a\b" would need a directory "a", which
  // fails when a file "a" stands there.
  if (rel.find('\\') != std::string::npos) {
    pack_error("%s: a name with '\\' in it cannot be installed", path.c_str());
    scan.ok = false;
    return;
  }
  struct stat info {};
  if (::fstatat(dir.fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    scan_fails(scan, path, errno);
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    scan_subdirectory(scan, dir, name, info);
    return;
  }
  if (S_ISLNK(info.st_mode)) {
    if (::fstatat(dir.fd, name.c_str(), &info, 0) != 0) {
      pack_error("%s: dangling symbolic link (%s)", path.c_str(), std::strerror(errno));
      scan.ok = false;
      return;
    }
    if (S_ISDIR(info.st_mode)) {
      pack_error("%s: symbolic link to a directory; a payload holds only files", path.c_str());
      scan.ok = false;
      return;
    }
  }
  if (!S_ISREG(info.st_mode)) {
    pack_error("%s: %s cannot be packed", path.c_str(), special_file_kind(info.st_mode));
    scan.ok = false;
    return;
  }
  auto size = static_cast<std::uint64_t>(info.st_size);
  if (size > kMaxRecordSize) {
    pack_error("%s: %llu bytes; a file of 4 GiB or more cannot be packed", path.c_str(),
               static_cast<unsigned long long>(size));
    scan.ok = false;
    return;
  }
  PackEntry entry;
  entry.source = path;
  entry.tree = scan.tree;
  entry.tree_path = rel;
  entry.rel_path = std::move(rel_path);
  entry.size = size;
  entry.mtime = record_mtime(info, path);
  entry.seen = file_stamp(info);
  entry.mode = static_cast<std::uint16_t>(kRegularFileType | (info.st_mode & 07777));
  entry.slot = scan.slot;
  scan.entries->push_back(std::move(entry));
}

// Lists the directory's names; false after reporting a failure.
bool list_names(Scan& scan, const ScanDir& dir, std::vector<std::string>* names) {
  const int listing = ::dup(dir.fd);  // the directory stream takes its descriptor
  DirHandle stream(listing >= 0 ? ::fdopendir(listing) : nullptr);
  if (!stream) {
    const int error = errno;
    if (listing >= 0) ::close(listing);
    return scan_fails(scan, dir.path, error);
  }
  errno = 0;
  while (dirent* item = ::readdir(stream.get())) {
    if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
    names->emplace_back(item->d_name);
  }
  if (errno != 0) return scan_fails(scan, dir.path, errno);
  return true;
}

void scan_directory(Scan& scan, ScanDir& dir) {
  std::vector<std::string> names;
  if (!list_names(scan, dir, &names)) return;
  if (names.empty() && !dir.rel.empty()) {
    pack_warning("%s: empty directory; a payload holds only files, so it is left out",
                 dir.path.c_str());
  }
  // Directory order depends on the file system; the caller sorts the result.
  for (std::size_t i = 0; i < names.size() && dir.fd >= 0; ++i) scan_entry(scan, dir, names[i]);
}

bool by_rel_path(const PackEntry& a, const PackEntry& b) { return a.rel_path < b.rel_path; }

// A relative path of plain components: what a removal record may name.
bool is_plain_relative_path(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.back() == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return path.find('\0') == std::string_view::npos && path.find('\\') == std::string_view::npos;
}

}  // namespace

PackTreeRoot::~PackTreeRoot() {
  if (fd >= 0) ::close(fd);
}

FileStamp file_stamp(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
          static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, info.st_mtim.tv_nsec,
          info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
}

bool scan_pack_tree(const std::string& root, std::string_view prefix, std::uint32_t slot,
                    std::vector<PackEntry>& entries) {
  auto tree = std::make_shared<PackTreeRoot>();
  tree->fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tree->fd < 0) {
    pack_error("%s: %s", root.c_str(), errno == ENOTDIR ? "not a directory" : std::strerror(errno));
    return false;
  }
  Scan scan{prefix, slot, tree, &entries, true};
  std::size_t first = entries.size();
  std::string shown = root;
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  ScanDir top{::dup(tree->fd), shown, ""};
  if (top.fd < 0) return scan_fails(scan, root, errno);
  scan_directory(scan, top);
  if (top.fd >= 0) ::close(top.fd);
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(), by_rel_path);
  if (scan.ok && entries.size() == first) pack_warning("%s: no files to pack", root.c_str());
  return scan.ok;
}

int open_pack_entry(const PackEntry& entry) {
  const std::string& path = entry.tree_path;
  int dir = ::dup(entry.tree->fd);
  std::size_t start = 0;
  for (std::size_t slash; dir >= 0 && (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string name = path.substr(start, slash - start);
    const int next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(dir);
    dir = next;
    errno = error;
  }
  if (dir < 0) return -1;
  // The file itself may be a link to a file, as the scan allowed.
  const int fd = ::openat(dir, path.c_str() + start, O_RDONLY | O_CLOEXEC);
  const int error = errno;
  ::close(dir);
  errno = error;
  return fd;
}

bool add_removal(std::string_view rel_path, std::vector<PackEntry>& entries) {
  if (!is_plain_relative_path(rel_path)) {
    pack_error("--remove %.*s: not a relative path of plain names", static_cast<int>(rel_path.size()),
               rel_path.data());
    return false;
  }
  if (rel_path.size() > kMaxRelPath) {
    pack_error("--remove: path of %zu bytes is longer than a record header allows (%zu)",
               rel_path.size(), kMaxRelPath);
    return false;
  }
  if (directory_part_length(rel_path) > kMaxDirectoryPart) {
    pack_error("--remove: its directories make a path of %zu bytes; the installer opens at most %zu",
               directory_part_length(rel_path), kMaxDirectoryPart);
    return false;
  }
  PackEntry entry;
  entry.rel_path = std::string(rel_path);
  entry.remove = true;
  entries.push_back(std::move(entry));
  return true;
}

bool check_pack_entries(const std::vector<PackEntry>& entries) {
  std::uint64_t total_size = 0;
  std::uint64_t total_headers = 0;
  std::vector<const PackEntry*> files;
  for (const PackEntry& entry : entries) {
    total_size += entry.size;
    total_headers += record_header_length(entry.rel_path.size());
    if (!entry.remove) files.push_back(&entry);
  }
  if (total_size > kMaxRecordSize) {
    pack_error("the files add up to %llu bytes; a payload holds at most 4294967295",
               static_cast<unsigned long long>(total_size));
    return false;
  }
  if (entries.size() > kMaxRecordSize || total_headers > kMaxRecordSize) {
    pack_error("too many files for one payload");
    return false;
  }
  std::sort(files.begin(), files.end(),
            [](const PackEntry* a, const PackEntry* b) { return a->rel_path < b->rel_path; });
  for (std::size_t i = 1; i < files.size(); ++i) {
    if (files[i]->rel_path != files[i - 1]->rel_path) continue;
    pack_error("%s: packed twice (%s and %s)", files[i]->rel_path.c_str(),
               files[i - 1]->source.c_str(), files[i]->source.c_str());
    return false;
  }
  return true;
}

}  // namespace telo
