// The directory choice: the dialog, fed with the product and the space its
// selected slots need, and the chosen directory stored in slots 0 to 2.

#include <unistd.h>

#include <cstring>

#include "console/directory_dialog.h"
#include "console/outcome.h"
#include "wizard/install_targets.h"
#include "wizard/header_texts.h"
#include "wizard/state.h"
#include "wizard/steps.h"

namespace telo {

static_assert(kDialogPathSize == kPathBufferSize, "the dialog fills a directory slot");

std::uint32_t selected_slots_size(const PayloadHeader& header, const InstallTargets& targets) {
  std::uint32_t bytes = 0;
  for (int slot = 0; slot < 3; ++slot) {
    if (targets.selected[slot] != 0) bytes += header.slot_size[slot];
  }
  return bytes;
}

WizardState run_directory_state() {
  next_state = STATE_DIR_EXISTS;
  back_state = STATE_WELCOME;
  if (new_release_mode) usleep(1000);
  DirectoryRequest request{header_texts.product_name, header_texts.version,
                           selected_slots_size(payload_header, install_targets)};
  char directory[kDialogPathSize];
  std::memcpy(directory, install_targets.directory[0], sizeof directory);
  int outcome = select_install_directory(request, directory);
  if (outcome == RESULT_NEXT) set_target_directory(directory, 0x7);
  return apply_outcome(outcome);
}

}  // namespace telo
