#include "installer/folder_cache.h"

#include <unistd.h>

namespace telo {

namespace {

// Beyond this many names a fresh folder is treated as any other: the names
// would cost more memory than the look-ups they save.
constexpr std::size_t kMaxNames = 4096;

void empty_slot(CachedFolder* folder) {
  if (folder->fd >= 0) ::close(folder->fd);
  folder->fd = -1;
  folder->key.clear();
  folder->fresh = false;
  folder->names.clear();
  folder->used = 0;
}

}  // namespace

FolderCache::~FolderCache() { folder_cache_clear(this); }

CachedFolder* folder_cache_find(FolderCache* cache, std::string_view key) {
  for (CachedFolder& folder : cache->folders) {
    if (folder.fd < 0 || folder.key != key) continue;
    folder.used = ++cache->clock;
    return &folder;
  }
  return nullptr;
}

CachedFolder* folder_cache_keep(FolderCache* cache, std::string_view key, int fd, bool fresh) {
  CachedFolder* slot = &cache->folders[0];
  for (CachedFolder& folder : cache->folders)
    if (folder.used < slot->used) slot = &folder;
  empty_slot(slot);
  slot->key.assign(key);
  slot->fd = fd;
  slot->fresh = fresh;
  slot->used = ++cache->clock;
  return slot;
}

bool folder_name_free(const CachedFolder& folder, std::string_view name) {
  return folder.fresh && folder.names.find(name) == folder.names.end();
}

void folder_note_name(CachedFolder* folder, std::string_view name) {
  if (!folder->fresh) return;
  if (folder->names.size() >= kMaxNames) {
    folder->fresh = false;
    folder->names.clear();
    return;
  }
  folder->names.emplace(name);
}

void folder_cache_forget_fresh(FolderCache* cache) {
  for (CachedFolder& folder : cache->folders) {
    folder.fresh = false;
    folder.names.clear();
  }
}

void folder_cache_clear(FolderCache* cache) {
  for (CachedFolder& folder : cache->folders) empty_slot(&folder);
}

}  // namespace telo
