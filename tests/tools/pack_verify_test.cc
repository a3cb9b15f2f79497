// telo-pack verify: every CRC and every compressed stream, and the first
// fault named with its record.

#include <gtest/gtest.h>

#include <cstddef>

#include "payload/crc16.h"
#include "pack/installer_file.h"
#include "pack/payload_writer.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/tools/installer_dialogue.h"
#include "tests/tools/pack_fixture.h"
#include "tests/tools/tree_fixture.h"

namespace telo::testing {
namespace {

struct RecordPlace {
  std::uint32_t index = 0;
  std::uint64_t at = 0;            // file offset of the record
  std::uint32_t header_length = 0;
  std::uint32_t method = 0;
};

class PackVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_tree(temp / "app", sample_app_files());
    installer = temp / "setup.bin";
    RunResult result = run_pack({"build", "-o", installer, temp / "app", "--build-time", "1683063373"});
    ASSERT_EQ(result.exit_status, 0) << result.stderr_text;
    image = read_file(installer);
  }

  RecordPlace place_of(const std::string& rel_path) {
    InstallerFile reader;
    std::string fault;
    EXPECT_TRUE(open_installer(installer, &reader, &fault)) << fault;
    payload_at = reader.payload_offset;
    PayloadRecord record;
    for (std::uint32_t i = 0; i < reader.header.file_count; ++i) {
      std::uint64_t at = reader.next.offset;
      EXPECT_TRUE(read_payload_record(&reader, i, false, &record, &fault)) << fault;
      if (record.rel_path == rel_path) return {i, at, record.fields.header_length, record.fields.method};
    }
    ADD_FAILURE() << rel_path << " not packed";
    return {};
  }

  RunResult verify_with_flip(std::uint64_t offset) {
    std::string damaged = image;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x20);
    write_file(temp / "damaged.bin", damaged);
    return run_pack({"verify", temp / "damaged.bin"});
  }

  ScopedTempDir temp;
  std::string installer;
  std::string image;
  std::uint64_t payload_at = 0;
};

TEST_F(PackVerifyTest, IntactInstallerPasses) {
  RunResult result = run_pack({"verify", installer});
  EXPECT_EQ(result.exit_status, 0) << result.stderr_text;
  EXPECT_NE(result.stdout_text.find("10 records verified"), std::string::npos) << result.stdout_text;
}

TEST_F(PackVerifyTest, FlippedByteInARecordHeaderIsNamed) {
  RecordPlace place = place_of("program/window.txt");
  RunResult result = verify_with_flip(place.at + 14);  // inside the size field
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("record " + std::to_string(place.index + 1) + ": the record header fails its CRC"),
            std::string::npos)
      << result.stderr_text;
}

TEST_F(PackVerifyTest, FlippedByteInStoredBytesIsNamedWithItsPath) {
  for (const char* path : {"program/telo20.dat", "program/two-windows-and-one.txt"}) {
    RecordPlace place = place_of(path);
    RunResult result = verify_with_flip(place.at + place.header_length + 100);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.stderr_text.find(std::string(path) + "): the stored bytes fail their CRC"), std::string::npos)
        << result.stderr_text;
  }
  EXPECT_EQ(place_of("program/telo20.dat").method, METHOD_STORED);
  EXPECT_EQ(place_of("program/two-windows-and-one.txt").method, METHOD_COMPRESSED);
}

// A damaged stream whose CRCs were made to match it is caught by decoding.
TEST_F(PackVerifyTest, DamagedStreamWithMatchingStoredCrcIsDecodedAndCaught) {
  RecordPlace place = place_of("program/two-windows-and-one.txt");
  std::string damaged = image;
  auto* record = reinterpret_cast<std::uint8_t*>(damaged.data()) + place.at;
  FileRecord fields = decode_record_header(record);
  record[place.header_length + fields.stored_size / 2] ^= 0x5A;
  store_u16(record + record_offset::kStoredCrc, crc16({record + place.header_length, fields.stored_size}));
  store_u16(record + record_offset::kRecordCrc, 0);
  store_u16(record + record_offset::kRecordCrc, crc16({record, place.header_length}));
  write_file(temp / "damaged.bin", damaged);

  RunResult result = run_pack({"verify", temp / "damaged.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("two-windows-and-one.txt): the "), std::string::npos) << result.stderr_text;
  EXPECT_EQ(result.stderr_text.find("stored bytes"), std::string::npos) << result.stderr_text;
}

TEST_F(PackVerifyTest, FlippedByteInAHeaderTextIsFound) {
  place_of("telolnx");  // finds the payload
  RunResult result = verify_with_flip(payload_at + offsetof(PayloadHeader, description) + 2);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("payload header fails its CRC"), std::string::npos) << result.stderr_text;
}

TEST_F(PackVerifyTest, TruncatedPayloadIsFound) {
  write_file(temp / "short.bin", image.substr(0, image.size() - 10));
  RunResult result = run_pack({"verify", temp / "short.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("run past the end of the file"), std::string::npos) << result.stderr_text;
}

TEST_F(PackVerifyTest, BytesAfterThePayloadAreFound) {
  write_file(temp / "long.bin", image + "trailing");
  RunResult result = run_pack({"verify", temp / "long.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("the payload does not reach the end of the file: 8 bytes follow"),
            std::string::npos)
      << result.stderr_text;
}

// An installer packed inside the payload, its header at a multiple of 1024:
// the installer takes the first marker it meets, so one damaged byte in the
// real marker would let it install the inner payload instead.
TEST_F(PackVerifyTest, ASecondValidHeaderInsideThePayloadIsFound) {
  BuiltPayload inner = build_payload({{"inner.txt", "inner"}});
  const std::uint64_t payload_at_offset = payload_offset_after(installer_image_size());
  const std::uint64_t contents_at = payload_at_offset + kPayloadHeaderSize + record_header_length(9);
  const std::uint64_t pad = (kPayloadAlignment - contents_at % kPayloadAlignment) % kPayloadAlignment;
  std::string nested(pad, 'p');
  nested.append(reinterpret_cast<const char*>(&inner.header), sizeof inner.header);
  BuiltPayload outer = build_payload({{"inner.bin", nested}});
  write_installer(temp / "nested.bin", outer.bytes());

  RunResult result = run_pack({"verify", temp / "nested.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("a second valid payload header lies inside the payload, at offset " +
                                    std::to_string(contents_at + pad)),
            std::string::npos)
      << result.stderr_text;
}

// The header's promises are checked once every record has passed the
// installer's own checks: a payload whose totals are wrong and whose stream
// cannot decode is named for the stream, where the installer would stop.
TEST_F(PackVerifyTest, HeaderTotalsAreCheckedOnceEveryRecordHasPassed) {
  BuiltPayload payload = build_payload({{"bad", std::string(20000, 'z'), METHOD_COMPRESSED}});
  payload.header.total_size += 1;
  reseal(payload);
  write_installer(temp / "totals.bin", payload.bytes());
  RunResult result = run_pack({"verify", temp / "totals.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("the header's totals or slot counts differ from its records"),
            std::string::npos)
      << result.stderr_text;

  FileRecord fields = decode_record_header(payload.records.data());
  std::fill(payload.records.begin() + fields.header_length, payload.records.end(), 0xFF);
  fields.stored_crc = crc16({payload.records.data() + fields.header_length, fields.stored_size});
  const std::vector<std::uint8_t> header = make_record_header(fields, "bad");
  std::copy(header.begin(), header.end(), payload.records.begin());
  write_installer(temp / "undecodable.bin", payload.bytes());
  result = run_pack({"verify", temp / "undecodable.bin"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("record 1 (bad): the compressed stream does not decode"), std::string::npos)
      << result.stderr_text;
}

// The installer reads record by record: an earlier record's damaged bytes
// stop it before a later record's damaged header is read, and verify names
// the same fault. A later record's wrong place comes after both.
TEST_F(PackVerifyTest, TheFirstFaultNamedIsTheOneTheInstallerMeetsFirst) {
  BuiltPayload payload = build_payload({{"first", "the first file's bytes\n"}, {"second", "the second file\n"}});
  const FileRecord first = decode_record_header(payload.records.data());
  payload.records[first.header_length + 4] ^= 0x20;                   // record 1: stored bytes
  payload.records[payload.record_starts[1] + record_offset::kSize] ^= 0x01;  // record 2: header
  write_installer(temp / "two-faults.bin", payload.bytes());

  const RunResult verified = run_pack({"verify", temp / "two-faults.bin"});
  EXPECT_EQ(verified.exit_status, 1);
  EXPECT_NE(verified.stderr_text.find("record 1 (first): the stored bytes fail their CRC"), std::string::npos)
      << verified.stderr_text;
  EXPECT_EQ(verified.stderr_text.find("record 2"), std::string::npos) << verified.stderr_text;
  const DialogueResult installed = install_by_dialogue(temp / "two-faults.bin", temp / "installed");
  EXPECT_NE(installed.stderr_text.find("Corrupted file(s) (err=4)."), std::string::npos) << installed.stderr_text;

  // A record_offset the installer never reads is named only when nothing
  // the installer checks has failed.
  BuiltPayload misplaced = build_payload({{"first", "1"}, {"second", "2"}, {"third", "3"}});
  std::uint8_t* second = misplaced.records.data() + misplaced.record_starts[1];
  const FileRecord second_fields = decode_record_header(second);
  store_u32(second + record_offset::kRecordOffset, second_fields.record_offset + 1);
  store_u16(second + record_offset::kRecordCrc, 0);
  store_u16(second + record_offset::kRecordCrc, crc16({second, second_fields.header_length}));
  write_installer(temp / "misplaced.bin", misplaced.bytes());
  RunResult result = run_pack({"verify", temp / "misplaced.bin"});
  EXPECT_NE(result.stderr_text.find("record 2 (second): record_offset"), std::string::npos) << result.stderr_text;
  std::uint8_t* third = misplaced.records.data() + misplaced.record_starts[2];
  third[decode_record_header(third).header_length] ^= 0x01;          // record 3: stored bytes
  write_installer(temp / "misplaced.bin", misplaced.bytes());
  result = run_pack({"verify", temp / "misplaced.bin"});
  EXPECT_NE(result.stderr_text.find("record 3 (third): the stored bytes fail their CRC"), std::string::npos)
      << result.stderr_text;
}

TEST_F(PackVerifyTest, BareInstallerHasNoPayload) {
  RunResult result = run_pack({"verify", TELO_INSTALLER_PATH});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.stderr_text.find("no payload found"), std::string::npos) << result.stderr_text;
}

}  // namespace
}  // namespace telo::testing
