#include "wizard/install_targets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace telo {
namespace {

TEST(SelectedSlotsSize, CountsTheSelectedAmongTheFirstThreeSlotsIn32Bits) {
  PayloadHeader header{};
  header.slot_size[0] = 64744267;
  header.slot_size[1] = 103512659;
  header.slot_size[2] = 5;
  header.slot_size[3] = 999999999;  // never counted
  InstallTargets targets{};
  for (int slot = 0; slot < 4; ++slot) targets.selected[slot] = 1;
  EXPECT_EQ(selected_slots_size(header, targets), 64744267u + 103512659u + 5u);
  targets.selected[1] = 0;
  EXPECT_EQ(selected_slots_size(header, targets), 64744267u + 5u);
  header.slot_size[0] = 0xFFFFFFFFu;  // the sum wraps as the header's fields do
  EXPECT_EQ(selected_slots_size(header, targets), 4u);
}

TEST(SetTargetDirectory, FillsTheSlotsOfTheMaskAndCutsAtTheBuffer) {
  InstallTargets saved = install_targets;
  set_target_directory("/opt/a", 0x5);
  EXPECT_STREQ(install_targets.directory[0], "/opt/a");
  EXPECT_STREQ(install_targets.directory[2], "/opt/a");
  EXPECT_STRNE(install_targets.directory[1], "/opt/a");
  std::string longer(kPathBufferSize + 10, 'x');
  set_target_directory(longer.c_str(), 0x1);
  EXPECT_EQ(std::strlen(install_targets.directory[0]), kPathBufferSize - 1);
  install_targets = saved;
}

}  // namespace
}  // namespace telo
