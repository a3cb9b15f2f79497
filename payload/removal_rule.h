#pragma once

// What a removal record does to its path. The installer carries it out on
// the disk and the tree model on its map of the installation; both take
// the decision from here.
//
// A removal names one entry: the last component of its path, in the
// directory the rest of the path leads to (nothing is made on the way, and
// a component that is missing or no directory ends the removal there). A
// file goes unless the path ends in '/'; an empty directory goes; anything
// else stays. A path whose last component names no entry ("." or "..", or
// the installation directory itself) removes nothing.

#include <string_view>

namespace telo {

struct RemovalTarget {
  std::string_view directories;  // leads to the entry's directory, ending in '/' or empty
  std::string_view name;         // the entry; follows `directories` in the path
  bool takes_file = true;        // false when a trailing '/' asks for a directory only
};

// Cuts a removal's path (trailing '/' set apart) into its target. False
// when it removes nothing whatever the disk holds; `target` is filled
// either way.
bool removal_target(std::string_view rel_path, RemovalTarget* target);

enum class EntryKind { kFile, kEmptyDirectory, kFullDirectory };

// Whether the entry found at the target goes. On the disk the kernel
// decides the same with unlink (anything but a directory) then rmdir (an
// empty directory only); the model asks here.
bool removal_removes(const RemovalTarget& target, EntryKind found);

}  // namespace telo
