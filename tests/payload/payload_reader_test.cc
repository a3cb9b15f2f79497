// The packer's reader of existing installers on hostile records: faults come
// back as text, and memory follows what the file really holds.

#include "payload/payload_reader.h"

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/header.h"
#include "payload/writer.h"
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

// Exit code 0 when record_contents reports a fault containing `expected`
// while new data mappings may not pass 256 MB (run in a death test's child).
int decode_under_limit(const PayloadRecord& record, const std::string& expected) {
  const rlim_t most = data_mapped() + (256u << 20);
  const rlimit limit{most, most};
  setrlimit(RLIMIT_DATA, &limit);
  std::vector<std::uint8_t> contents;
  std::string fault;
  const bool decoded = record_contents(record, &contents, &fault);
  return !decoded && fault.find(expected) != std::string::npos ? 0 : 1;
}

// Reads back the only record of an installer whose compressed record claims
// nearly 4 GiB and stores `stream`.
PayloadRecord huge_record(const testing::ScopedTempDir& temp, const std::vector<std::uint8_t>& stream) {
  FileRecord record;
  record.size = 0xFFFFFF00u;
  record.method = METHOD_COMPRESSED;
  record.stored_crc = crc16(stream);
  const std::string path = temp / "setup.bin";
  testing::write_file(path, one_record_installer(record, stream));

  InstallerReader reader;
  std::string fault;
  PayloadRecord read;
  EXPECT_TRUE(open_installer(path, &reader, &fault)) << fault;
  EXPECT_TRUE(read_payload_record(&reader, 0, true, &read, &fault)) << fault;
  return read;
}

TEST(PayloadReader, BrokenStreamClaimingGigabytesFailsWithoutAllocatingThem) {
  // One block whose code-length code names symbol 31 of 19: refused at once.
  testing::ScopedTempDir temp;
  const PayloadRecord read = huge_record(temp, {0x00, 0x01, 0x07, 0xC0});
  EXPECT_EXIT(std::exit(decode_under_limit(read, "does not decode")), ::testing::ExitedWithCode(0), "");
}

TEST(PayloadReader, ValidStreamLargerThanMemoryIsAFaultNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's operator new aborts when memory runs out instead of throwing";
#endif
  // No stored bytes at all: past its end a stream reads as zero bits, which
  // decode to zeros for ever.
  testing::ScopedTempDir temp;
  const PayloadRecord read = huge_record(temp, {});
  EXPECT_EXIT(std::exit(decode_under_limit(read, "record 1 (big.bin): not enough memory to hold its 4294967040 bytes")),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace telo
