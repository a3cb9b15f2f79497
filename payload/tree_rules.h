#pragma once

// What a run of records does to a fresh installation directory, worked out
// without touching the disk. Each record passes the record rules, yet a run
// of them can still ask for the impossible: a directory where an earlier
// record left a file, or a file where a directory stands. The installer
// meets such a record with "Can't create ..."; a tool that checks an
// installer finds it here first.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "payload/format.h"

namespace telo {

enum class TreeFault {
  kNone,
  kFileInTheWay,       // a directory is needed where a file was written
  kDirectoryInTheWay,  // the file's path names a directory
  kNameTooLong,        // a component longer than a file name may be
};

// The paths below the installation directory, component by component, as
// the file system resolves them ("a//./b" is "a/b"); true for a directory.
struct TreeModel {
  std::map<std::string, bool> entries;
};

// Applies a record that passed the record rules: a removal, or a file with
// the directories it goes into. The model is left as the installer would
// leave the disk, up to the fault.
TreeFault tree_apply(TreeModel* tree, const FileRecord& record, std::string_view rel_path);

// A short English description of a fault, for tools that report it.
const char* tree_fault_text(TreeFault fault);

}  // namespace telo
