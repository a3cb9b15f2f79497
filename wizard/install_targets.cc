#include "wizard/install_targets.h"

#include <cstring>

namespace telo {

InstallTargets install_targets;

void set_target_directory(const char* path, unsigned slot_mask) {
  for (int slot = 0; slot < kTargetSlots; ++slot) {
    if ((slot_mask & (1u << slot)) == 0) continue;
    char* target = install_targets.directory[slot];
    if (target == path) continue;
    std::strncpy(target, path, kPathBufferSize - 1);
    target[kPathBufferSize - 1] = '\0';
  }
}

}  // namespace telo
