#include "payload/crc16_sliced.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "payload/crc16.h"

namespace telo {
namespace {

using CrcRoutine = std::uint16_t (*)(std::uint16_t, const void*, std::size_t);

struct NamedRoutine {
  const char* name;
  CrcRoutine routine;
};
constexpr NamedRoutine kRoutines[] = {
    {"sliced", crc16_sliced}, {"tables", crc16_by_tables}, {"folded", crc16_folded}};

TEST(Crc16Sliced, CheckValueInTheExchangedOrder) {
  for (const auto& r : kRoutines) {
    EXPECT_EQ(r.routine(0, "123456789", 9), 0x3DBB) << r.name;
    EXPECT_EQ(r.routine(0, "", 0), 0) << r.name;
  }
}

// Lengths around the 64-byte folding steps and the 256-byte switch-over,
// every alignment, and a running value carried in: all routines agree with
// the byte-wise table routine.
TEST(Crc16Sliced, EveryRoutineAgreesWithTheTableRoutine) {
  std::unique_ptr<std::uint8_t, decltype(&std::free)> table(crc16_make_table(), &std::free);
  std::mt19937 random(29);
  std::vector<std::uint8_t> data(70000);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (const auto& r : kRoutines) {
    for (std::size_t offset : {0, 1, 5, 15}) {
      for (std::size_t length : {63, 64, 65, 127, 128, 255, 256, 257, 320, 8192, 65536 + 17}) {
        const std::uint8_t* p = data.data() + offset;
        auto whole = static_cast<std::uint16_t>(crc16_update(table.get(), 0, p, static_cast<std::uint32_t>(length)));
        EXPECT_EQ(r.routine(0, p, length), whole) << r.name << " " << offset << " " << length;
        std::size_t cut = length / 3;
        auto head = static_cast<std::uint16_t>(crc16_update(table.get(), 0, p, static_cast<std::uint32_t>(cut)));
        EXPECT_EQ(r.routine(head, p + cut, length - cut), whole) << r.name << " carried " << offset << " " << length;
      }
    }
  }
}

// Long runs of zero and of 0xFF bytes stress the reduction constants.
TEST(Crc16Sliced, FoldingAgreesOnUniformRuns) {
  std::unique_ptr<std::uint8_t, decltype(&std::free)> table(crc16_make_table(), &std::free);
  for (std::uint8_t fill : {0x00, 0xFF, 0x80, 0x01}) {
    std::vector<std::uint8_t> data(4096 + 48, fill);
    auto expected = static_cast<std::uint16_t>(
        crc16_update(table.get(), 0x1234, data.data(), static_cast<std::uint32_t>(data.size())));
    EXPECT_EQ(crc16_folded(0x1234, data.data(), data.size()), expected) << int{fill};
  }
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
