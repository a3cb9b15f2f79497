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

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace telo {

// Opens directory `rel` (relative; "" is `root` itself, a leading '/' is a
// doubled separator) below `root` for use as the directory of *at calls
// (O_PATH). -1 with errno set otherwise; a link that leads outside `root`
// gives ELOOP. An absolute link is followed when a prefix of its target is
// `root` itself: what follows that prefix is resolved beneath `root`.
int open_beneath(int root, std::string_view rel);

// Creates every missing directory along `rel` below `root` and opens the
// last one as open_beneath does. Each directory made gets exactly `mode`
// (the caller applies its umask), also below a folder whose default ACL
// would take bits away. -1 with errno set by the failing call; something
// other than a directory in the way (a dangling link too) gives EEXIST, as
// mkdir does. `made_last`, when given, tells whether the last directory
// was made here.
int make_directories_beneath(int root, std::string_view rel, mode_t mode, bool* made_last = nullptr);

// Opens directory `rel` below `root` (O_PATH) only when no one but this user
// and the super-user can change where the path leads: `root` and every
// directory below it on the way are owned by one of them and writable by
// no one else, and no component is a link or "..". -1 otherwise. `info`
// gets the directory's own status.
int open_guarded_beneath(int root, std::string_view rel, struct stat* info);

// Opens the directory that holds the file `rel` names below `root`, and sets
// `name` to the file's name in it. A link at the file's path is followed as
// opening the path would follow it, as long as it stays inside `root` (even
// when it leads nowhere yet), so `name` is never a link. -1 with errno set
// otherwise, ELOOP for a link that leads outside.
int open_parent_beneath(int root, std::string_view rel, std::string* name);

// Tests set this to walk paths by hand where openat2 would serve.
extern bool beneath_by_walking;

}  // namespace telo
