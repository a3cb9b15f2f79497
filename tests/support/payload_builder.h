#pragma once

// Hand-made payloads for whole-program tests: a header and file records,
// appended to a copy of the real installer.

#include <cstdint>
#include <string>
#include <vector>

#include "payload/format.h"
#include "payload/piece_table.h"

namespace telo::testing {

struct TestFile {
  std::string path;
  std::string contents;
  std::uint32_t method = METHOD_STORED;
  std::uint32_t mtime = 0;
  std::uint16_t mode = 0100644;
  std::uint32_t slot = 0;
  // When nonzero, `contents` is ignored: the record is this many zero bytes,
  // compressed as the empty input's stream, which decodes to zeros for as
  // long as asked (a large file that is cheap to build and slow to decode).
  std::uint32_t zeros = 0;
  // When nonzero, a compressed file is coded as pieces of this many bytes
  // (a multiple of 8192), joined bit to bit, and listed in `pieces`.
  std::uint32_t piece_size = 0;
};

struct PayloadTexts {
  std::string product_name = "TELO";
  std::string version = "V3.8";
  std::string description = "for Linux 32 bit";
  std::string hardware_family = "";
  std::string java_runtime = "";
  std::int32_t build_time = 1683063373;  // 2023-05-02 21:36:13 UTC
};

struct BuiltPayload {
  PayloadHeader header;
  std::vector<std::uint8_t> records;          // every record, back to back
  std::vector<std::size_t> record_starts;     // offset of each record in `records`
  std::vector<RecordPieces> pieces;           // of the files coded in two or more pieces
  std::vector<std::uint8_t> bytes() const;    // header followed by the records
};

// Compressed records (method other than stored/remove) go through the codec.
BuiltPayload build_payload(const std::vector<TestFile>& files, const PayloadTexts& texts = {});

// Re-computes the header CRC after a test changed a field on purpose.
void reseal(BuiltPayload& payload);

// Copies the real installer to `path`, pads it with zeros to `payload_offset`
// (0: the next multiple of 1024) and appends `payload`. Mode 0755.
void write_installer(const std::string& path, const std::vector<std::uint8_t>& payload,
                     std::uint64_t payload_offset = 0);

// Size of the real installer binary.
std::uint64_t installer_image_size();

}  // namespace telo::testing
