#pragma once

#include <cstddef>
#include <cstdint>

namespace telo {

inline constexpr std::size_t kPathBufferSize = 4096;
inline constexpr int kTargetSlots = 16;

// Directory slots; slot 0 is the installation directory every step uses.
// Start-up and the directory dialog keep slots 0, 1 and 2 equal.
struct InstallTargets {
  char directory[kTargetSlots][kPathBufferSize];
  std::int32_t selected[kTargetSlots];
};

extern InstallTargets install_targets;

// Copies `path` (at most 4095 characters) into the slots named by the bit mask.
void set_target_directory(const char* path, unsigned slot_mask);

}  // namespace telo
