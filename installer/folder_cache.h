#pragma once

// The folders the last records' files went into, kept open so that the next
// file in one of them costs no path resolution and no directory creation.
//
// Only folders whose path no one else can change are kept: every folder from
// the installation directory down to the kept one's parent is owned by this
// user or the super-user and writable by no one else, and no component is a
// link. Records change paths only by removing them, so a removal empties the
// cache; anything else is resolved per record as before.
//
// A folder this run made (empty, and writable by no one else) is fresh: what
// stands in it this run put there, so a name not put there yet is free and
// need not be looked up before the file is made.

#include <cstddef>
#include <string>
#include <string_view>
#include <functional>
#include <set>

namespace telo {

struct CachedFolder {
  std::string key;    // the directories of the record's path, each with its '/' ("a/b/")
  int fd = -1;        // the folder (O_PATH), owned
  bool fresh = false;
  // Fresh: what this run made in it. A tree, not a hash set: hashing's
  // rehash policy would pull the maths library into the installer.
  std::set<std::string, std::less<>> names;
  unsigned long long used = 0;            // when last found, for eviction
};

struct FolderCache {
  static constexpr std::size_t kFolders = 4;
  CachedFolder folders[kFolders];
  unsigned long long clock = 0;

  FolderCache() = default;
  ~FolderCache();
  FolderCache(const FolderCache&) = delete;
  FolderCache& operator=(const FolderCache&) = delete;
};

// The folder kept for `key`, or null.
CachedFolder* folder_cache_find(FolderCache* cache, std::string_view key);

// Keeps `fd` (which the cache takes over) for `key` in place of the folder
// used longest ago.
CachedFolder* folder_cache_keep(FolderCache* cache, std::string_view key, int fd, bool fresh);

// True when `name` is known to be free in `folder`: fresh, and not made yet.
bool folder_name_free(const CachedFolder& folder, std::string_view name);

// Notes that this run made `name` in `folder`.
void folder_note_name(CachedFolder* folder, std::string_view name);

// What stands in the kept folders may now come from elsewhere (a folder made
// beside them, a file made through a link): none of them is fresh any more.
void folder_cache_forget_fresh(FolderCache* cache);

// Closes every kept folder: paths may have changed.
void folder_cache_clear(FolderCache* cache);

}  // namespace telo
