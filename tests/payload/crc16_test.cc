#include "payload/crc16.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "payload/format.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

TEST(Crc16, CheckValueIsStoredWithItsBytesExchanged) {
  std::uint8_t* table = crc16_make_table();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(crc16_update(table, 0, "123456789", 9), 0x3DBB);
  EXPECT_EQ(crc16_update(table, 0, "", 0), 0);
  EXPECT_EQ(crc16_update(table, 0x1234, "", 0), 0x1234);
  // Continuing from a partial result gives the same as one pass.
  auto first = static_cast<std::uint32_t>(crc16_update(table, 0, "1234", 4));
  EXPECT_EQ(crc16_update(table, first, "56789", 5), 0x3DBB);
  // The split layout: entry 1 of CRC-16/ARC is 0xC0C1.
  EXPECT_EQ(table[1], 0xC1);
  EXPECT_EQ(table[256 + 1], 0xC0);
  std::free(table);
  EXPECT_EQ(crc16_update(nullptr, 0, "1", 1), -1);
  const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc16(digits), 0x3DBB);
}

// Parts checked apart and combined give the whole's value, at every cut,
// parts of no bytes and a part of some megabytes included.
TEST(Crc16, PartsCombineToTheWhole) {
  std::vector<std::uint8_t> data(3u << 20);
  std::uint32_t state = 12345;
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 24);
  const std::uint16_t whole = crc16(data);
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8192}, std::size_t{1} << 20,
                          data.size() - 1, data.size()}) {
    const std::span<const std::uint8_t> all(data);
    const std::uint16_t first = crc16(all.first(cut)), second = crc16(all.subspan(cut));
    EXPECT_EQ(crc16_combine(first, second, data.size() - cut), whole) << "cut at " << cut;
  }
  // Three parts, combined left to right.
  const std::span<const std::uint8_t> all(data);
  std::uint16_t value = crc16(all.first(100));
  value = crc16_combine(value, crc16(all.subspan(100, 5000)), 5000);
  value = crc16_combine(value, crc16(all.subspan(5100)), data.size() - 5100);
  EXPECT_EQ(value, whole);
}

TEST(PayloadMarker, DiffersFromTheStoredCopyOnlyAtOneDigit) {
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  EXPECT_EQ(std::strlen(marker), kMarkerLength);
  for (std::size_t i = 0; i < kMarkerLength; ++i) {
    if (i == kMarkerTweakIndex) EXPECT_EQ(marker[i], '5');
    else EXPECT_EQ(marker[i], kStoredMarker[i]) << i;
  }
}

TEST(PayloadMarker, TheInstallerImageNeverHoldsTheRealMarker) {
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  std::string image = testing::read_file(TELO_INSTALLER_PATH);
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(image.find(std::string(marker, kMarkerLength)), std::string::npos);
}

}  // namespace
}  // namespace telo
