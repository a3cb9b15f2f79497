#include "pack/installer_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "pack/name_quoting.h"
#include "payload/crc16.h"
#include "payload/crc16_sliced.h"
#include "payload/locate.h"

namespace telo {

namespace {

// A stored record is read this much at a time.
constexpr std::size_t kStoredStretch = 128 * 1024;

std::string check_fault(std::uint32_t index, std::string_view rel_path, const RecordHeader& header,
                        RecordCheck check) {
  std::string text = record_check_text(check);
  if (check == RecordCheck::kRules) text = record_fault_text(header.rule);
  if (check == RecordCheck::kLength) {
    text = "header length " + std::to_string(load_u32(header.bytes)) + " is out of range (or cannot be read)";
  }
  return record_name(index, rel_path) + ": " + text;
}

const char* header_fault_text(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kNone: break;
    case HeaderFault::kNotFound: return "no payload found (no payload header at a multiple of 1024)";
    case HeaderFault::kNoMemory: return "not enough memory";
    case HeaderFault::kCrc: return "the payload header fails its CRC (a header text or field was changed)";
  }
  return "no fault";
}

bool ensure_context(InstallerFile* installer, const PayloadRecord& record, std::string* fault) {
  if (installer->context != nullptr || decompressor_create(&installer->context) == 0) return true;
  *fault = record_name(record.index, record.rel_path) + ": not enough memory for the decoder";
  return false;
}

// The stored-byte checks of the reading core, as text.
bool stored_check(const PayloadRecord& record, const std::uint8_t* stored, std::string* fault) {
  const RecordCheck check = check_stored_bytes(record.fields, stored);
  if (check == RecordCheck::kNone) return true;
  *fault = check_fault(record.index, record.rel_path, record.header, check);
  return false;
}

// Reads `length` stored bytes of the record at `at` into `into`; false with
// `fault` set when the file ends first.
bool read_stored_at(InstallerFile* installer, const PayloadRecord& record, std::uint64_t at, std::uint8_t* into,
                    std::size_t length, std::string* fault) {
  PayloadSource source{installer->file.fd, at};
  if (payload_read(&source, into, static_cast<std::uint32_t>(length)) == length) return true;
  *fault = record_name(record.index, record.rel_path) + ": " +
           (installer_cut_short(*installer) ? kCutShortText : record_check_text(RecordCheck::kStoredShort));
  return false;
}

// A stored record's bytes read a stretch at a time, their CRC taken as
// they come.
bool check_stored_from_file(InstallerFile* installer, const PayloadRecord& record, std::string* fault) {
  std::vector<std::uint8_t> stretch(std::min<std::size_t>(record.fields.stored_size, kStoredStretch));
  std::uint16_t crc = 0;
  for (std::uint64_t done = 0; done < record.fields.stored_size;) {
    const std::size_t length = std::min<std::uint64_t>(record.fields.stored_size - done, stretch.size());
    if (!read_stored_at(installer, record, record.stored_at + done, stretch.data(), length, fault)) return false;
    crc = crc16_sliced(crc, stretch.data(), length);
    done += length;
  }
  const RecordCheck check = check_stored_crc(record.fields, crc);
  if (check == RecordCheck::kNone) return true;
  *fault = check_fault(record.index, record.rel_path, record.header, check);
  return false;
}

// Decodes a compressed record piece by piece into one window's worth of
// memory, checking the contents' CRC at the end.
bool decode_and_check(InstallerFile* installer, const PayloadRecord& record, const std::uint8_t* stored,
                      std::string* fault) {
  if (record.fields.method == METHOD_STORED || record.fields.method == METHOD_REMOVE) return true;
  if (!ensure_context(installer, record, fault)) return false;
  RecordDecoding decoding;
  start_record_decoding(&decoding, installer->context, stored, record.fields);
  std::uint8_t piece[kChunkLimit];
  while (next_piece_size(decoding) != 0) {
    RecordCheck check = decode_next_piece(&decoding, piece);
    if (check != RecordCheck::kNone) {
      *fault = check_fault(record.index, record.rel_path, record.header, check);
      return false;
    }
  }
  return true;
}

}  // namespace

OwnedFd::~OwnedFd() {
  if (fd >= 0) ::close(fd);
}

InstallerFile::~InstallerFile() { decompressor_destroy(&context); }

std::string record_name(std::uint32_t index, std::string_view rel_path) {
  std::string name = "record " + std::to_string(index + 1);
  if (!rel_path.empty()) name += " (" + quote_name(rel_path) + ")";
  return name;
}

bool open_installer(const std::string& path, InstallerFile* installer, std::string* fault) {
  installer->file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (installer->file.fd < 0 || ::fstat(installer->file.fd, &info) != 0) {
    *fault = std::strerror(errno);
    return false;
  }
  installer->file_size = static_cast<std::uint64_t>(info.st_size);
  HeaderFault found = find_payload_header(installer->file.fd, &installer->header, &installer->payload_offset);
  if (found != HeaderFault::kNone) {
    *fault = header_fault_text(found);
    return false;
  }
  if (!is_single_volume(installer->header)) {
    *fault = "the payload names volume " + std::to_string(installer->header.volume) + ", not the single volume -1";
    return false;
  }
  std::uint8_t* table = crc16_make_table();
  if (table == nullptr) {
    *fault = "not enough memory";
    return false;
  }
  installer->crc_table.assign(table, table + 512);
  std::free(table);
  installer->records_start = installer->payload_offset + kPayloadHeaderSize;
  installer->next = PayloadSource{installer->file.fd, installer->records_start};
  installer->pieces_at = piece_table_offset(installer->header, installer->records_start);
  load_piece_table(installer->file.fd, installer->pieces_at, installer->header.file_count, &installer->pieces);
  return true;
}

bool read_payload_record(InstallerFile* installer, std::uint32_t index, bool with_stored,
                         PayloadRecord* record, std::string* fault) {
  record->index = index;
  record->rel_path.clear();
  record->stored.clear();
  record->record_offset = installer->next.offset - installer->records_start;
  RecordHeader& header = record->header;
  RecordCheck check = read_record_header(&installer->next, installer->crc_table.data(), &header);
  if (check != RecordCheck::kNone && check != RecordCheck::kRules) {
    const bool came_short = check == RecordCheck::kLength || check == RecordCheck::kHeaderShort;
    *fault = came_short && installer_cut_short(*installer) ? record_name(index, "") + ": " + kCutShortText
                                                           : check_fault(index, "", header, check);
    return false;
  }
  record->fields = header.fields;
  std::string_view rel_path;
  const std::span<const std::uint8_t> bytes(header.bytes, header.fields.header_length);
  if (record_rel_path(bytes, &rel_path)) record->rel_path = std::string(rel_path);
  if (check == RecordCheck::kRules) {
    *fault = check_fault(index, record->rel_path, header, check);
    return false;
  }
  const std::uint64_t stored_at = installer->next.offset;
  record->stored_at = stored_at;
  if (record->fields.stored_size > installer->file_size - std::min(stored_at, installer->file_size)) {
    *fault = check_fault(index, record->rel_path, header, RecordCheck::kStoredShort);
    return false;
  }
  // A removal carries no stored bytes and nothing of it is checked, as the
  // installer skips it; its stored CRC field is not looked at.
  if (!with_stored || record->fields.method == METHOD_REMOVE) {
    installer->next.offset += record->fields.stored_size;
    return true;
  }
  try {
    record->stored.resize(record->fields.stored_size);
  } catch (const std::bad_alloc&) {
    *fault = check_fault(index, record->rel_path, header, RecordCheck::kNoMemory);
    return false;
  }
  check = read_stored_bytes(&installer->next, record->fields, record->stored.data());
  if (check != RecordCheck::kNone) {
    *fault = check_fault(index, record->rel_path, header, check);
    return false;
  }
  return true;
}

bool check_record_contents(InstallerFile* installer, const PayloadRecord& record, std::string* fault) {
  return decode_and_check(installer, record, record.stored.data(), fault);
}

bool check_record_from_file(InstallerFile* installer, const PayloadRecord& record, std::string* fault) {
  if (record.fields.method == METHOD_REMOVE) return true;  // carries nothing to check
  if (record.fields.method == METHOD_STORED) return check_stored_from_file(installer, record, fault);
  std::vector<std::uint8_t> stream;
  try {
    stream.resize(std::max<std::size_t>(record.fields.stored_size, 1));
  } catch (const std::bad_alloc&) {
    *fault = check_fault(record.index, record.rel_path, record.header, RecordCheck::kNoMemory);
    return false;
  }
  return read_stored_at(installer, record, record.stored_at, stream.data(), record.fields.stored_size, fault) &&
         stored_check(record, stream.data(), fault) && decode_and_check(installer, record, stream.data(), fault);
}

namespace {

std::string piece_fault(const PayloadRecord& record, std::size_t piece, const PiecePoint& start) {
  return record_name(record.index, record.rel_path) + ": the piece table's piece " + std::to_string(piece + 1) +
         " (bit " + std::to_string(start.bit_offset) + ", output offset " + std::to_string(start.output_offset) +
         ") does not decode to the record's bytes there";
}

// Decodes the whole stream and, beside it, each piece from its own start,
// comparing every call's bytes.
bool compare_pieces(Decompressor* whole_context, Decompressor* piece_context, const PayloadRecord& record,
                    std::span<const std::uint8_t> stream, const RecordPieces& entry, std::string* fault) {
  const std::uint32_t size = record.fields.size;
  StreamDecoding whole;
  start_stream_decoding(&whole, whole_context, stream, size);
  std::vector<std::uint8_t> expected(kChunkLimit), got(kChunkLimit);
  for (std::size_t p = 0; p < entry.pieces.size(); ++p) {
    const PiecePoint& start = entry.pieces[p];
    const std::uint32_t end = p + 1 < entry.pieces.size() ? entry.pieces[p + 1].output_offset : size;
    StreamDecoding piece;
    start_stream_decoding_at(&piece, piece_context, stream, start.bit_offset, size - start.output_offset);
    while (whole.produced < end) {
      const std::uint32_t call = next_call_size(whole);
      if (decode_next_call(&whole, expected.data()) < 0) return true;  // the record's own fault
      if (decode_next_call(&piece, got.data()) < 0 || std::memcmp(expected.data(), got.data(), call) != 0) {
        *fault = piece_fault(record, p, start);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool check_record_pieces(InstallerFile* installer, const PayloadRecord& record, const RecordPieces& entry,
                         std::string* fault) {
  if (!record_pieces_fit(entry, record.fields)) {
    *fault = record_name(record.index, record.rel_path) +
             ": the piece table does not fit the record (pieces start within a compressed record's " +
             std::to_string(std::uint64_t{record.fields.stored_size} * 8) + " stored bits and " +
             std::to_string(record.fields.size) + " bytes)";
    return false;
  }
  Decompressor* piece_context = nullptr;
  std::vector<std::uint8_t> stream;
  try {
    stream.resize(std::max<std::size_t>(record.fields.stored_size, 1));
  } catch (const std::bad_alloc&) {
    *fault = check_fault(record.index, record.rel_path, record.header, RecordCheck::kNoMemory);
    return false;
  }
  if (!ensure_context(installer, record, fault) || !read_stored_at(installer, record, record.stored_at, stream.data(),
                                                                   record.fields.stored_size, fault))
    return false;
  if (decompressor_create(&piece_context) != 0) {
    *fault = record_name(record.index, record.rel_path) + ": not enough memory for the decoder";
    return false;
  }
  const bool same = compare_pieces(installer->context, piece_context, record,
                                   {stream.data(), record.fields.stored_size}, entry, fault);
  decompressor_destroy(&piece_context);
  return same;
}

bool installer_cut_short(const InstallerFile& installer) {
  struct stat info {};
  return ::fstat(installer.file.fd, &info) == 0 && static_cast<std::uint64_t>(info.st_size) < installer.file_size;
}

bool record_contents(InstallerFile* installer, const PayloadRecord& record, std::vector<std::uint8_t>* contents,
                     std::string* fault) {
  if (!check_record_contents(installer, record, fault)) return false;
  if (record.fields.method == METHOD_STORED) {
    *contents = record.stored;
    return true;
  }
  contents->assign(record.fields.size, 0);
  decode_stream(record.stored, *contents);
  return true;
}

}  // namespace telo
