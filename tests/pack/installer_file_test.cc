// The packer's reader of existing installers on hostile records: faults come
// back as text, and memory follows what the file really holds.

#include "pack/installer_file.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/crc16.h"
#include "pack/payload_writer.h"
#include "payload/header_fields.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scoped_temp_dir.h"

namespace telo {
namespace {

// 1024 filler bytes, a sealed header and one record with its stored bytes.
std::string one_record_installer(FileRecord record, const std::vector<std::uint8_t>& stored) {
  record.stored_size = static_cast<std::uint32_t>(stored.size());
  PayloadHeader header = new_payload_header();
  count_record(header, record);
  seal_payload_header(header);
  std::string file(kPayloadAlignment, '\0');
  file.append(reinterpret_cast<const char*>(&header), sizeof header);
  const std::vector<std::uint8_t> record_header = make_record_header(record, "big.bin");
  file.append(record_header.begin(), record_header.end());
  file.append(stored.begin(), stored.end());
  return file;
}

// The process's data mappings now (VmData), in bytes; 0 when unknown.
std::uint64_t data_mapped() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmData:", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
  return 0;
}

// An installer whose only record is compressed, claims `size` bytes and
// stores `stream`, opened and its record read with the stored bytes.
struct OneRecord {
  testing::ScopedTempDir temp;
  InstallerFile installer;
  PayloadRecord record;

  OneRecord(std::uint32_t size, std::uint16_t data_crc, const std::vector<std::uint8_t>& stream) {
    FileRecord fields;
    fields.size = size;
    fields.data_crc = data_crc;
    fields.method = METHOD_COMPRESSED;
    fields.stored_crc = crc16(stream);
    const std::string path = temp / "setup.bin";
    testing::write_file(path, one_record_installer(fields, stream));
    std::string fault;
    EXPECT_TRUE(open_installer(path, &installer, &fault)) << fault;
    EXPECT_TRUE(read_payload_record(&installer, 0, true, &record, &fault)) << fault;
  }
};

// Exit code 0 when checking the record's contents gives `expected` (a fault
// containing it, or "" for none) while new data mappings may not pass
// 256 MB (run in a death test's child).
int check_under_limit(OneRecord* one, const std::string& expected) {
  const rlim_t most = data_mapped() + (256u << 20);
  const rlimit limit{most, most};
  setrlimit(RLIMIT_DATA, &limit);
  std::string fault;
  const bool intact = check_record_contents(&one->installer, one->record, &fault);
  if (expected.empty()) return intact ? 0 : 1;
  return !intact && fault.find(expected) != std::string::npos ? 0 : 1;
}

TEST(InstallerFile, BrokenStreamClaimingGigabytesFailsWithoutAllocatingThem) {
  // One block whose code-length code names symbol 31 of 19: refused at once.
  OneRecord one(0xFFFFFF00u, 0, {0x00, 0x01, 0x07, 0xC0});
  EXPECT_EXIT(std::exit(check_under_limit(&one, "record 1 (big.bin): the compressed stream does not decode")),
              ::testing::ExitedWithCode(0), "");
}

TEST(InstallerFile, ValidStreamLargerThanTheMemoryLimitIsCheckedPieceByPiece) {
  // No stored bytes at all: past its end a stream reads as zero bits, which
  // decode to zeros for ever; 300 MiB of zeros have CRC 0.
  OneRecord one(300u << 20, 0, {});
  EXPECT_EXIT(std::exit(check_under_limit(&one, "")), ::testing::ExitedWithCode(0), "");
  OneRecord wrong(300u << 20, 1, {});
  EXPECT_EXIT(std::exit(check_under_limit(&wrong, "the file's contents fail their CRC")),
              ::testing::ExitedWithCode(0), "");
}

// An installer of a stored and a compressed record whose file is cut short
// once the records before `checked` were read the way verify reads them
// (headers first); then record `checked` is read or checked.
struct CutCase {
  const char* name;
  std::uint32_t checked;    // the record read after the cut
  bool only_header;         // its header is read after the cut (as list does), else its stored bytes checked
  double cut_into_stored;   // where the file ends: this far into that record's stored bytes...
  std::uint64_t cut_into_header = 0;  // ... or, with only_header, this far into its header
  std::string fault;
};

// In a child process (a signal there fails the test): exit 0 when the
// fault is exactly the case's.
int read_after_cut(const CutCase& c) {
  std::string noise(300000, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>('a' + (i * 7919 % 13));
  const testing::BuiltPayload payload = testing::build_payload(
      {{"a.bin", noise, METHOD_STORED}, {"b.txt", noise.substr(1000) + noise, METHOD_COMPRESSED}});
  testing::ScopedTempDir temp;
  const std::string path = temp / "setup.bin";
  const std::vector<std::uint8_t> bytes = payload.bytes();
  testing::write_file(path, std::string(kPayloadAlignment, '\0') + std::string(bytes.begin(), bytes.end()));
  InstallerFile installer;
  std::string fault;
  if (!open_installer(path, &installer, &fault)) return 3;
  PayloadRecord records[2];
  const std::uint32_t headers_read = c.only_header ? c.checked : 2;
  for (std::uint32_t i = 0; i < headers_read; ++i)
    if (!read_payload_record(&installer, i, false, &records[i], &fault)) return 3;
  const std::uint64_t record_at = installer.records_start + payload.record_starts[c.checked];
  std::uint64_t cut = record_at + c.cut_into_header;
  if (!c.only_header) {
    const PayloadRecord& record = records[c.checked];
    cut = record.stored_at + static_cast<std::uint64_t>(c.cut_into_stored * record.fields.stored_size);
  }
  if (::truncate(path.c_str(), static_cast<off_t>(cut)) != 0) return 3;
  const bool read = c.only_header ? read_payload_record(&installer, c.checked, false, &records[c.checked], &fault)
                                  : check_record_from_file(&installer, records[c.checked], &fault);
  if (read) return 1;
  std::fprintf(stderr, "%s\n", fault.c_str());
  return fault == c.fault ? 0 : 2;
}

// A file cut short while it is read (a release being replaced, a network
// file system) ends in a fault that says so, never in a signal that would
// lose what was printed before.
// The installer never looks at a removal's CRC fields; neither reading of
// the packer may call it damaged for them.
TEST(InstallerFile, ARemovalIsIntactWhateverItsStoredCrcField) {
  testing::ScopedTempDir temp;
  FileRecord fields;
  fields.method = METHOD_REMOVE;
  fields.stored_crc = 0x1234;
  const std::string path = temp / "setup.bin";
  testing::write_file(path, one_record_installer(fields, {}));
  for (const bool with_stored : {false, true}) {
    InstallerFile installer;
    PayloadRecord record;
    std::string fault;
    ASSERT_TRUE(open_installer(path, &installer, &fault)) << fault;
    EXPECT_TRUE(read_payload_record(&installer, 0, with_stored, &record, &fault)) << fault;
    EXPECT_TRUE(check_record_contents(&installer, record, &fault)) << fault;
    EXPECT_TRUE(check_record_from_file(&installer, record, &fault)) << fault;
  }
}

TEST(InstallerFile, AFileCutShortWhileItIsReadEndsInAFaultThatSaysSo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const CutCase cases[] = {
      {"a stored record's bytes", 0, false, 0.5, 0, "record 1 (a.bin): the file was cut short while it was read"},
      {"a compressed record's stream", 1, false, 0.5, 0,
       "record 2 (b.txt): the file was cut short while it was read"},
      {"the next header", 1, true, 0, 10, "record 2: the file was cut short while it was read"},
  };
  for (const CutCase& c : cases) {
    EXPECT_EXIT(std::exit(read_after_cut(c)), ::testing::ExitedWithCode(0), "") << c.name;
  }
}

}  // namespace
}  // namespace telo
