#include "payload/removal_rule.h"

#include "payload/record_path.h"

namespace telo {

bool removal_target(std::string_view rel_path, RemovalTarget* target) {
  target->takes_file = rel_path.empty() || rel_path.back() != '/';
  while (!rel_path.empty() && rel_path.back() == '/') rel_path.remove_suffix(1);
  const PathSplit split = split_last_component(rel_path);
  target->directories = split.directories;
  target->name = split.name;
  return !names_no_entry(split.name);
}

bool removal_removes(const RemovalTarget& target, EntryKind found) {
  switch (found) {
    case EntryKind::kFile: return target.takes_file;
    case EntryKind::kEmptyDirectory: return true;
    case EntryKind::kFullDirectory: return false;
  }
  return false;
}

}  // namespace telo
