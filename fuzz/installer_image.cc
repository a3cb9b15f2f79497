#include "fuzz/installer_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "pack/payload_writer.h"
#include "payload/crc16.h"
#include "payload/format.h"
#include "payload/piece_table.h"
#include "payload/record_reader.h"

namespace telo::fuzzing {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kRaw = 1;
constexpr std::uint8_t kStampContents = 2;
constexpr std::uint8_t kGivenCount = 4;
constexpr std::uint8_t kOtherVolume = 8;
constexpr std::uint8_t kPieces = 16;

// The record's contents as the installer would write them, when cheap to get.
bool contents_of(const FileRecord& fields, std::span<const std::uint8_t> stored, Bytes* contents) {
  if (fields.method == METHOD_STORED) {
    contents->assign(stored.begin(), stored.end());
    return true;
  }
  if (fields.size == 0 || fields.size > kMaxDecoded) return false;
  contents->resize(fields.size);
  return decode_stream(stored, *contents) == 0;
}

// Re-stamps the CRCs of the record header at `at` (its whole header in the
// file) the way the packer writes them.
void stamp_record(Bytes& file, std::size_t at, std::uint32_t length, bool stamp_contents) {
  FileRecord fields = decode_record_header(file.data() + at);
  const std::size_t stored_at = at + length;
  const std::size_t stored_end = std::min<std::uint64_t>(stored_at + std::uint64_t{fields.stored_size}, file.size());
  const std::span<const std::uint8_t> stored(file.data() + stored_at, stored_end - stored_at);
  if (stamp_contents && fields.method != METHOD_REMOVE) {
    fields.stored_crc = crc16(stored);
    Bytes contents;
    if (stored.size() == fields.stored_size && contents_of(fields, stored, &contents))
      fields.data_crc = crc16(contents);
  }
  const auto* path = reinterpret_cast<const char*>(file.data() + at + record_offset::kRelPath);
  const std::size_t room = length - record_offset::kRelPath;
  const std::string_view rel_path(path, strnlen(path, room));
  const Bytes header = make_record_header(fields, rel_path);
  std::memcpy(file.data() + at, header.data(), header.size());
}

// Up to four pieces for a compressed record of two calls or more, spread
// evenly over its output and its stored bits: a table that rarely fits the
// stream, for the readers that must never trust it.
void cut_evenly(const FileRecord& fields, std::uint32_t index, std::vector<RecordPieces>* table) {
  const std::uint32_t calls = fields.size / kPieceOutputUnit;
  if (fields.method == METHOD_STORED || fields.method == METHOD_REMOVE || calls < 2 || fields.stored_size < 2) return;
  const std::uint32_t count = std::min<std::uint32_t>({4, calls, fields.stored_size});
  RecordPieces entry{index, {}};
  for (std::uint32_t k = 0; k < count; ++k)
    entry.pieces.push_back({std::uint64_t{fields.stored_size} * 8 * k / count, calls / count * k * kPieceOutputUnit});
  table->push_back(entry);
}

// The installer laid out from a non-raw input; see installer_image.h.
Bytes build_installer(std::uint8_t control, const std::uint8_t* body, std::size_t size) {
  std::uint32_t given_count = 0;
  if (control & kGivenCount) {
    if (size >= 2) given_count = body[0] | std::uint32_t{body[1]} << 8;
    const std::size_t skip = std::min<std::size_t>(size, 2);
    body += skip;
    size -= skip;
  }
  const std::size_t records_at = kPayloadAlignment + kPayloadHeaderSize;
  Bytes file(records_at + size, 0);
  if (size != 0) std::memcpy(file.data() + records_at, body, size);
  std::uint32_t laid_out = 0;
  std::uint64_t headers = 0, stored = 0;
  std::vector<RecordPieces> pieces;
  std::size_t whole_end = records_at;  // end of the records laid out whole
  for (std::uint64_t at = records_at; at + 4 <= file.size() && laid_out < kMaxRecords; ++laid_out) {
    const std::uint32_t length = load_u32(file.data() + at);
    if (length < kMinRecordHeader || length > kMaxRecordHeader || length > file.size() - at) break;
    stamp_record(file, at, length, control & kStampContents);
    const FileRecord fields = decode_record_header(file.data() + at);
    const std::uint64_t next = at + length + std::uint64_t{fields.stored_size};
    if (next <= file.size()) {
      cut_evenly(fields, laid_out, &pieces);
      headers += length;
      stored += fields.stored_size;
      whole_end = static_cast<std::size_t>(next);
    }
    at = next;
  }
  PayloadHeader header = new_payload_header();
  if (control & kPieces) {
    // The records whole, their totals in the header, and the table after them.
    file.resize(whole_end);
    const Bytes table = encode_piece_table(pieces);
    file.insert(file.end(), table.begin(), table.end());
    header.total_header_size = static_cast<std::uint32_t>(headers);
    header.total_stored_size = static_cast<std::uint32_t>(stored);
  }
  header.file_count = control & kGivenCount ? given_count : laid_out;
  if (control & kOtherVolume) header.volume = 0;
  seal_payload_header(header);
  std::memcpy(file.data() + kPayloadAlignment, &header, sizeof header);
  return file;
}

}  // namespace

std::vector<std::uint8_t> installer_image(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  const std::uint8_t control = data[0];
  return control & kRaw ? Bytes(data + 1, data + size) : build_installer(control, data + 1, size - 1);
}

MemoryFile::MemoryFile(const std::vector<std::uint8_t>& bytes) {
  fd = ::memfd_create("installer", MFD_CLOEXEC);
  check(fd >= 0);
  check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  path = "/proc/self/fd/" + std::to_string(fd);
}

MemoryFile::~MemoryFile() { ::close(fd); }

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace telo::fuzzing
