#pragma once

// Reading an installer's payload for inspection: unlike the installer's own
// reader, every fault is returned as text instead of ending the process, and
// sizes are checked against the file before anything is allocated.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "payload/format.h"

namespace telo {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct InstallerReader {
  std::unique_ptr<std::FILE, FileCloser> file;
  std::uint64_t file_size = 0;
  std::uint64_t payload_offset = 0;   // of the header block
  PayloadHeader header{};
  std::uint64_t next_record = 0;      // file offset of the next record
  std::uint64_t records_start = 0;
};

// One record as read: its header bytes, decoded fields, path and, when
// asked for, its stored bytes.
struct PayloadRecord {
  std::uint32_t index = 0;
  std::vector<std::uint8_t> header;
  FileRecord fields;
  std::string rel_path;
  std::vector<std::uint8_t> stored;
  std::uint64_t record_offset = 0;    // from the first record, as found
};

// Opens `path` and finds its payload the way the installer does (the first
// block at a multiple of 1024 from 1024 on that starts with the marker),
// then checks its CRC and volume. False with `fault` set otherwise.
bool open_installer(const std::string& path, InstallerReader* reader, std::string* fault);

// Reads the next record: header, CRC, path and record checks, and the stored
// bytes (read when `with_stored`, else skipped). False with `fault` set.
bool read_payload_record(InstallerReader* reader, std::uint32_t index, bool with_stored,
                         PayloadRecord* record, std::string* fault);

// The file's contents: the stored bytes, or their decoding. Checks both CRCs.
bool record_contents(const PayloadRecord& record, std::vector<std::uint8_t>* contents, std::string* fault);

// Decodes `contents.size()` bytes from one codec stream, in the installer's
// pieces of at most 8192 bytes. Returns 0 or the codec's negative result.
int decode_stream(std::span<const std::uint8_t> stream, std::span<std::uint8_t> contents);

// Up to 63 characters of a header text field.
std::string_view header_text(const char (&field)[kTextFieldSize]);

}  // namespace telo
