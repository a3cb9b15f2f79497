// Fuzzes the packer's reader of existing installers: whatever the file holds,
// open_installer, read_payload_record and record_contents must return every
// fault as non-empty text, never crash, hang or allocate far beyond the file.
//
// Input: one control byte, then the body. Control bit 0: the body is the
// whole installer file, as is. Otherwise the file is 1024 zero bytes, a
// payload header (marker, volume -1, CRC sealed by the packer's own code),
// then the body as the records, each record header found there getting its
// CRC re-stamped so that damage reaches the checks behind it. Bit 1: each
// record's stored and data CRCs are re-stamped too. Bit 2: the body starts
// with file_count (2 bytes, little-endian) instead of the count of records
// laid out. Bit 3: the header names volume 0.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "payload/format.h"
#include "payload/header.h"
#include "payload/payload_reader.h"
#include "payload/writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kRaw = 1;
constexpr std::uint8_t kStampContents = 2;
constexpr std::uint8_t kGivenCount = 4;
constexpr std::uint8_t kOtherVolume = 8;
constexpr std::uint32_t kMaxRecords = 4096;
// A compressed record's contents are its full size by contract, and a few
// stored bytes may decode to gigabytes; larger records are read, not decoded.
constexpr std::uint32_t kMaxDecoded = 1 << 16;

void check(bool ok) {
  if (!ok) std::abort();
}

// The record's contents as the installer would write them, when cheap to get.
bool contents_of(const telo::FileRecord& fields, std::span<const std::uint8_t> stored, Bytes* contents) {
  if (fields.method == telo::METHOD_STORED) {
    contents->assign(stored.begin(), stored.end());
    return true;
  }
  if (fields.size == 0 || fields.size > kMaxDecoded) return false;
  contents->resize(fields.size);
  return telo::decode_stream(stored, *contents) == 0;
}

// Re-stamps the CRCs of the record header at `at` (its whole header in the
// file) the way the packer writes them.
void stamp_record(Bytes& file, std::size_t at, std::uint32_t length, bool stamp_contents) {
  telo::FileRecord fields = telo::decode_record_header(file.data() + at);
  const std::size_t stored_at = at + length;
  const std::size_t stored_end = std::min<std::uint64_t>(stored_at + std::uint64_t{fields.stored_size}, file.size());
  const std::span<const std::uint8_t> stored(file.data() + stored_at, stored_end - stored_at);
  if (stamp_contents && fields.method != telo::METHOD_REMOVE) {
    fields.stored_crc = telo::crc16(stored);
    Bytes contents;
    if (stored.size() == fields.stored_size && contents_of(fields, stored, &contents))
      fields.data_crc = telo::crc16(contents);
  }
  const auto* path = reinterpret_cast<const char*>(file.data() + at + telo::record_offset::kRelPath);
  const std::size_t room = length - telo::record_offset::kRelPath;
  const std::string_view rel_path(path, strnlen(path, room));
  const Bytes header = telo::make_record_header(fields, rel_path);
  std::memcpy(file.data() + at, header.data(), header.size());
}

// The installer laid out from a non-raw input; see the top of this file.
Bytes build_installer(std::uint8_t control, const std::uint8_t* body, std::size_t size) {
  std::uint32_t given_count = 0;
  if (control & kGivenCount) {
    if (size >= 2) given_count = body[0] | std::uint32_t{body[1]} << 8;
    const std::size_t skip = std::min<std::size_t>(size, 2);
    body += skip;
    size -= skip;
  }
  const std::size_t records_at = telo::kPayloadAlignment + telo::kPayloadHeaderSize;
  Bytes file(records_at, 0);
  file.insert(file.end(), body, body + size);
  std::uint32_t laid_out = 0;
  for (std::size_t at = records_at; at + 4 <= file.size() && laid_out < kMaxRecords; ++laid_out) {
    const std::uint32_t length = telo::load_u32(file.data() + at);
    if (length < telo::kMinRecordHeader || length > telo::kMaxRecordHeader || length > file.size() - at) break;
    stamp_record(file, at, length, control & kStampContents);
    at += length + std::uint64_t{telo::load_u32(file.data() + at + telo::record_offset::kStoredSize)};
  }
  telo::PayloadHeader header = telo::new_payload_header();
  header.file_count = control & kGivenCount ? given_count : laid_out;
  if (control & kOtherVolume) header.volume = 0;
  telo::seal_payload_header(header);
  std::memcpy(file.data() + telo::kPayloadAlignment, &header, sizeof header);
  return file;
}

// Reads the installer as the packer's inspection does, checking each answer.
void read_installer(const std::string& path) {
  telo::InstallerReader reader;
  std::string fault;
  if (!telo::open_installer(path, &reader, &fault)) {
    check(!fault.empty());
    return;
  }
  const std::uint32_t count = std::min(reader.header.file_count, kMaxRecords);
  for (std::uint32_t i = 0; i < count; ++i) {
    telo::PayloadRecord record;
    if (!telo::read_payload_record(&reader, i, true, &record, &fault)) {
      check(!fault.empty());
      return;
    }
    check(record.stored.size() == record.fields.stored_size);
    check(record.header.size() == record.fields.header_length);
    if (record.fields.method == telo::METHOD_REMOVE) continue;
    if (record.fields.method != telo::METHOD_STORED && record.fields.size > kMaxDecoded) continue;
    Bytes contents;
    if (!telo::record_contents(record, &contents, &fault)) {
      check(!fault.empty());
      return;
    }
    check(contents.size() == record.fields.size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  const Bytes file = control & kRaw ? Bytes(data + 1, data + size) : build_installer(control, data + 1, size - 1);
  const int fd = ::memfd_create("installer", MFD_CLOEXEC);
  check(fd >= 0);
  check(::write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
  read_installer("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);
  return 0;
}
