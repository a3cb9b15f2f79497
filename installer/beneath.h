#pragma once

// Paths resolved beneath the installation directory. The installation makes
// folders that every user may write, and usually runs as the super-user, so
// any user could plant a symbolic link there before the next installation:
// a record's directories and file must never be reached through a link that
// leads outside. Links that stay inside still work.
//
// Where the kernel offers openat2 with RESOLVE_BENEATH it does the work;
// otherwise the path is walked a component at a time, each link read and
// followed by hand.

#include <string_view>

namespace telo {

// Opens directory `rel` (relative; "" is `root` itself) below `root` for use
// as the directory of *at calls (O_PATH). -1 with errno set otherwise; a link
// that leads outside `root` (or an absolute link) gives ELOOP.
int open_beneath(int root, std::string_view rel);

// Creates every missing directory along `rel` below `root` (mode 0755, the
// umask applies) and opens the last one as open_beneath does. -1 with errno
// set by the failing call; something other than a directory in the way
// gives EEXIST, as mkdir does.
int make_directories_beneath(int root, std::string_view rel);

// Tests set this to walk paths by hand where openat2 would serve.
extern bool beneath_by_walking;

}  // namespace telo
