#include "payload/tree_rules.h"

#include <vector>

#include "payload/record_path.h"
#include "payload/removal_rule.h"

namespace telo {

namespace {

constexpr std::size_t kNameMax = 255;  // the longest component Linux file systems take

bool has_long_component(std::string_view path) {
  for (std::string_view part : path_components(path))
    if (part.size() > kNameMax) return true;
  return false;
}

// The path opened for the file names a directory when it ends in '/', "."
// or "..", or when it folds to the installation directory itself.
bool names_a_directory(std::string_view rel_path) { return names_no_entry(split_last_component(rel_path).name); }

std::string key_of(const std::vector<std::string_view>& parts) {
  std::string key;
  for (std::string_view part : parts) {
    if (!key.empty()) key += '/';
    key += part;
  }
  return key;
}

// The components left once each ".." has taken back the one before it (the
// record rules keep any from climbing above the top).
std::vector<std::string_view> folded(std::string_view path) {
  std::vector<std::string_view> parts;
  for (std::string_view part : path_components(path)) {
    if (part != "..") parts.push_back(part);
    else if (!parts.empty()) parts.pop_back();
  }
  return parts;
}

// Each directory along the path, as the installer meets them: "a/../b"
// passes through "a", which must be (or become) a directory.
TreeFault make_directories(TreeModel* tree, std::string_view directory) {
  std::vector<std::string_view> parts;
  for (std::string_view part : path_components(directory)) {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
    auto [at, added] = tree->entries.try_emplace(key_of(parts), true);
    if (!added && !at->second) return TreeFault::kFileInTheWay;
  }
  return TreeFault::kNone;
}

bool has_children(const TreeModel& tree, const std::string& key) {
  const std::string prefix = key + '/';
  auto next = tree.entries.lower_bound(prefix);
  return next != tree.entries.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

// A removal as removal_rule.h tells it: every directory the path passes
// through must be there, and the entry found at its end goes or stays.
void remove_path(TreeModel* tree, std::string_view rel_path) {
  RemovalTarget target;
  if (!removal_target(rel_path, &target)) return;
  std::vector<std::string_view> parts;
  for (std::string_view part : path_components(target.directories)) {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
    auto at = tree->entries.find(key_of(parts));
    if (at == tree->entries.end() || !at->second) return;
  }
  parts.push_back(target.name);
  const std::string key = key_of(parts);
  auto at = tree->entries.find(key);
  if (at == tree->entries.end()) return;
  const EntryKind found = !at->second                ? EntryKind::kFile
                          : has_children(*tree, key) ? EntryKind::kFullDirectory
                                                     : EntryKind::kEmptyDirectory;
  if (removal_removes(target, found)) tree->entries.erase(at);
}

}  // namespace

TreeFault tree_apply(TreeModel* tree, const FileRecord& record, std::string_view rel_path) {
  if (record.method == METHOD_REMOVE) {
    remove_path(tree, rel_path);
    return TreeFault::kNone;
  }
  if (has_long_component(rel_path)) return TreeFault::kNameTooLong;
  if (TreeFault fault = make_directories(tree, directory_part(rel_path)); fault != TreeFault::kNone) return fault;
  if (names_a_directory(rel_path)) return TreeFault::kDirectoryInTheWay;
  auto [at, added] = tree->entries.try_emplace(key_of(folded(rel_path)), false);
  if (!added && at->second) return TreeFault::kDirectoryInTheWay;
  return TreeFault::kNone;
}

const char* tree_fault_text(TreeFault fault) {
  switch (fault) {
    case TreeFault::kNone: return "no fault";
    case TreeFault::kFileInTheWay: return "its directory cannot be created: an earlier record left a file there";
    case TreeFault::kDirectoryInTheWay: return "its file cannot be created: the path names a directory";
    case TreeFault::kNameTooLong: return "a component of its path is longer than 255 bytes";
  }
  return "unknown fault";
}

}  // namespace telo
