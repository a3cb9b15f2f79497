#include "installer/directories.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>

namespace telo {

namespace {

bool is_existing_directory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int make_directory_path(char* path) {
  if (path == nullptr || path[0] == '\0') return 1;
  char* cursor = path[0] == '/' ? path + 1 : path;
  for (;; ++cursor) {
    char c = *cursor;
    if (c != '/' && c != '\0') continue;
    // A leading or doubled '/' leaves an empty component, which is already there.
    if (cursor > path && cursor[-1] != '/') {
      *cursor = '\0';
      // Another process may make the same directory between the look and
      // the mkdir: what counts is that a directory stands there after it.
      bool ok = is_existing_directory(path) || ::mkdir(path, 0755) == 0;
      if (!ok && errno == EEXIST) {
        ok = is_existing_directory(path);
        errno = EEXIST;
      }
      *cursor = c;
      if (!ok) return 0;
    }
    if (c == '\0' || cursor[1] == '\0') return 1;
  }
}

}  // namespace telo
