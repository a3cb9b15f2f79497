#include "payload/header.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/terminate.h"
#include "payload/writer.h"
#include "tests/support/child_capture.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

using testing::ChildResult;
using testing::ScopedTempDir;

const std::string kTerminated = "\n\nInstallation terminated.\n";

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

// Writes `payload` at `offset` of a file padded with `filler` bytes.
std::string file_with_payload_at(const ScopedTempDir& dir, std::size_t offset,
                                 const std::vector<std::uint8_t>& payload, char filler = 'x') {
  std::string contents(offset, filler);
  contents.append(reinterpret_cast<const char*>(payload.data()), payload.size());
  std::string path = dir / "installer";
  testing::write_file(path, contents);
  return path;
}

ChildResult locate_in(const std::string& path) {
  return testing::run_in_child([&] {
    payload_file = std::fopen(path.c_str(), "rb");
    locate_payload(payload_file, &payload_header);
    return static_cast<int>(std::ftell(payload_file));
  });
}

std::vector<std::uint8_t> sample_payload() {
  return testing::build_payload({{"a.txt", "hello"}}).bytes();
}

TEST(LocatePayload, FindsTheHeaderAtAnyMultipleOf1024) {
  ScopedTempDir dir;
  for (std::size_t offset : {1024u, 5120u}) {
    std::string path = file_with_payload_at(dir, offset, sample_payload());
    ChildResult result = locate_in(path);
    EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
    EXPECT_EQ(result.returned, static_cast<int>(offset + kPayloadHeaderSize));
    EXPECT_EQ(result.stderr_text, "");
  }
}

TEST(LocatePayload, RefusesWhatIsNotThere) {
  ScopedTempDir dir;
  struct Case {
    const char* name;
    std::string path;
  } cases[] = {
      {"offset 0", file_with_payload_at(dir, 0, sample_payload())},
      {"offset 1500", file_with_payload_at(dir, 1500, sample_payload())},
  };
  for (const Case& c : cases) {
    ChildResult result = locate_in(c.path);
    EXPECT_EQ(result.exit_status, 1) << c.name;
    EXPECT_EQ(result.stderr_text, "Can't find attachments (3).\n" + kTerminated) << c.name;
  }
  std::string short_file = dir / "short";
  testing::write_file(short_file, std::string(2051, 'x'));
  EXPECT_EQ(locate_in(short_file).stderr_text, "Can't find attachments (3).\n" + kTerminated);
}

TEST(LocatePayload, TakesTheFirstMatchEvenWhenItsCrcIsWrong) {
  ScopedTempDir dir;
  std::vector<std::uint8_t> good = sample_payload();
  std::vector<std::uint8_t> bad = good;
  bad[500] ^= 1;  // a text field
  std::vector<std::uint8_t> both = bad;
  both.resize(2048, 0);
  both.insert(both.end(), good.begin(), good.end());
  ChildResult result = locate_in(file_with_payload_at(dir, 1024, both));
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text, "Attachments corrupted (3).\n" + kTerminated);
}

TEST(LocatePayload, EveryByteOfTheBlockCountsButTheCrcField) {
  ScopedTempDir dir;
  for (std::size_t at : {252u, 280u, 412u, 610u, 738u, 1027u}) {
    std::vector<std::uint8_t> payload = sample_payload();
    payload[at] ^= 0x40;
    ChildResult result = locate_in(file_with_payload_at(dir, 1024, payload));
    EXPECT_EQ(result.stderr_text, "Attachments corrupted (3).\n" + kTerminated) << at;
  }
}

TEST(LocatePayload, KeepsTheBlockAsRead) {
  ScopedTempDir dir;
  testing::BuiltPayload built = testing::build_payload({{"a", "1"}, {"b", "22"}});
  ChildResult result = testing::run_in_child([&] {
    std::string path = file_with_payload_at(dir, 2048, built.bytes());
    payload_file = std::fopen(path.c_str(), "rb");
    locate_payload(payload_file, &payload_header);
    return std::memcmp(&payload_header, &built.header, sizeof built.header) == 0 ? 7 : 8;
  });
  EXPECT_EQ(result.returned, 7) << result.stderr_text;
}

TEST(RecordHeader, EncodesEveryFieldAtItsOffset) {
  FileRecord record;
  record.size = 0x01020304;
  record.stored_size = 0x0A0B0C0D;
  record.method = METHOD_COMPRESSED;
  record.target_slot = 1;
  record.record_offset = 77;
  record.mtime = 1683063373;
  record.mode = 0100755;
  record.data_crc = 0xBEEF;
  record.stored_crc = 0xCAFE;
  std::vector<std::uint8_t> bytes = make_record_header(record, "dir/file.txt");
  ASSERT_EQ(bytes.size(), 41u + 10u);  // 38 fixed + 12 + terminator
  FileRecord back = decode_record_header(bytes.data());
  EXPECT_EQ(back.header_length, bytes.size());
  EXPECT_EQ(back.size, record.size);
  EXPECT_EQ(back.stored_size, record.stored_size);
  EXPECT_EQ(back.method, record.method);
  EXPECT_EQ(back.target_slot, 1u);
  EXPECT_EQ(back.record_offset, 77u);
  EXPECT_EQ(back.mtime, record.mtime);
  EXPECT_EQ(back.mode, record.mode);
  EXPECT_EQ(back.data_crc, 0xBEEF);
  EXPECT_EQ(back.stored_crc, 0xCAFE);
  EXPECT_EQ(bytes[12], 0x04);  // little-endian size
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 38), "dir/file.txt");
  // record_crc covers the header with its own field taken as zero.
  std::vector<std::uint8_t> zeroed = bytes;
  zeroed[4] = zeroed[5] = 0;
  EXPECT_EQ(back.record_crc, crc16(zeroed));
  // Short paths still get the smallest legal header.
  EXPECT_EQ(make_record_header({}, "a").size(), kMinRecordHeader);
}

TEST(PayloadOffset, IsTheNextMultipleOf1024) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {0, 1024}, {1, 1024}, {1024, 1024}, {1025, 2048}, {5000, 5120}};
  for (auto [stub, offset] : cases) EXPECT_EQ(payload_offset_after(stub), offset) << stub;
}

}  // namespace
}  // namespace telo
