#include "pack/payload_writer.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "payload/crc16.h"

namespace telo {
namespace {

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
