#include "payload/crc16_sliced.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "payload/header.h"

namespace telo {
namespace {

TEST(Crc16Sliced, CheckValueInTheExchangedOrder) {
  EXPECT_EQ(crc16_sliced(0, "123456789", 9), 0x3DBB);
  EXPECT_EQ(crc16_sliced(0, "", 0), 0);
}

// Every length around the eight-byte steps, every alignment, and values
// continued from an earlier piece agree with the byte-wise table routine.
TEST(Crc16Sliced, AgreesWithTheTableRoutine) {
  std::unique_ptr<std::uint8_t, decltype(&std::free)> table(crc16_make_table(), &std::free);
  std::mt19937 random(11);
  std::vector<std::uint8_t> data(4200);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 1000, 4096, 4191}) {
      auto expected = static_cast<std::uint16_t>(
          crc16_update(table.get(), 0, data.data() + offset, static_cast<std::uint32_t>(length)));
      EXPECT_EQ(crc16_sliced(0, data.data() + offset, length), expected) << offset << " " << length;
    }
  }
  std::uint16_t first = crc16_sliced(0, data.data(), 1237);
  EXPECT_EQ(crc16_sliced(first, data.data() + 1237, data.size() - 1237),
            static_cast<std::uint16_t>(crc16_update(table.get(), 0, data.data(), 4200)));
}

}  // namespace
}  // namespace telo
