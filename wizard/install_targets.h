#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/format.h"
#include "sysenv/paths.h"

namespace telo {

inline constexpr int kTargetSlots = 16;

// Directory slots; slot 0 is the installation directory every step uses.
// Start-up and the directory dialog keep slots 0, 1 and 2 equal.
struct InstallTargets {
  char directory[kTargetSlots][kPathBufferSize];
  std::int32_t selected[kTargetSlots];
};

extern InstallTargets install_targets;

// The space the payload needs in the selected slots among 0 to 2, added up
// in 32 bits as the header's sizes are.
std::uint32_t selected_slots_size(const PayloadHeader& header, const InstallTargets& targets);

// Copies `path` (at most 4095 characters) into the slots named by the bit mask.
void set_target_directory(const char* path, unsigned slot_mask);

}  // namespace telo
