#pragma once

// A file the installer writes into a folder that may belong to a user, such
// as a Desktop folder. Running as the super-user, it must never be steered by
// what that user planted there: the folder is not reached through a link,
// and the file is opened only when it is absent or a plain file of its
// expected owner, never through a link, never a FIFO or device. (An
// ordinary user's run may reach its own Desktop folder through a link.)

#include <sys/types.h>

namespace telo {

enum class EntryOpen {
  kOpened,
  kNoFolder,       // the folder is missing or may not be entered
  kFolderRefused,  // no folder, or (for the super-user) its last name is a link
  kFileRefused,    // a link, FIFO, other special or foreign file stands at the name
  kNotWritable,    // the file may not be created or written
};

// Who the file is for: `given` names a user (the owner it ends with);
// otherwise it is the folder's owner when the installer is the super-user
// and the folder is someone else's, else the installer itself.
struct EntryOwner {
  bool given = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct EntryFile {
  EntryOpen result = EntryOpen::kNotWritable;
  int fd = -1;  // open for writing, emptied, when result is kOpened
  EntryOwner owner;  // `given` when the file must be handed to owner.uid/gid
};

// Opens folder/name for writing as described above, created with `mode`
// when absent. A file is created and opened with the file-system identity of
// its owner, so that a user's folder grants the installer only that user's rights.
EntryFile open_entry_file(const char* folder, const char* name, mode_t mode, EntryOwner owner);

// Gives the file its owner (when one is given) and `mode`, through the descriptor, and closes it.
void close_entry_file(EntryFile& file, mode_t mode);

}  // namespace telo
