#include "payload/payload_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/codec.h"
#include "payload/header.h"
#include "payload/record_path.h"

namespace telo {

namespace {

std::string record_name(std::uint32_t index, std::string_view rel_path) {
  std::string name = "record " + std::to_string(index + 1);
  if (!rel_path.empty()) name += " (" + std::string(rel_path) + ")";
  return name;
}

bool read_at(InstallerReader* reader, std::uint64_t offset, void* into, std::size_t length) {
  if (length == 0) return true;
  if (::fseeko(reader->file.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(into, 1, length, reader->file.get()) == length;
}

bool find_payload_block(InstallerReader* reader, std::string* fault) {
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  for (std::uint64_t at = kPayloadAlignment; at + kPayloadHeaderSize <= reader->file_size;
       at += kPayloadAlignment) {
    char start[kMarkerLength];
    if (!read_at(reader, at, start, sizeof start)) break;
    if (std::memcmp(start, marker, kMarkerLength) != 0) continue;
    reader->payload_offset = at;
    if (read_at(reader, at, &reader->header, kPayloadHeaderSize)) return true;
    *fault = "cannot read the payload header";
    return false;
  }
  *fault = "no payload found (no payload header at a multiple of 1024)";
  return false;
}

ByteWindow source_of(std::span<const std::uint8_t> stream) {
  auto* first = const_cast<std::uint8_t*>(stream.data());
  return ByteWindow{first, first + stream.size(), 0, first, static_cast<std::uint32_t>(stream.size())};
}

// Decodes the next piece of at most kChunkLimit bytes into `at`.
int decode_piece(Decompressor* context, ByteWindow* source, std::uint8_t* at, std::size_t piece) {
  ByteWindow destination{at, at + piece, 0, at, static_cast<std::uint32_t>(piece)};
  return decompressor_decode(context, source, &destination);
}

// Makes room for `more` bytes at the end; false when memory runs out. A
// valid stream may claim up to 4 GiB, more than this host may hold.
bool grow_by(std::vector<std::uint8_t>* contents, std::size_t more) {
  try {
    contents->resize(contents->size() + more);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool decode_record(const PayloadRecord& record, std::vector<std::uint8_t>* contents, std::string* fault) {
  // The file does not bound the size (a few bytes may decode to gigabytes), so
  // the contents grow piece by piece: a stream that fails costs what it decoded.
  Decompressor* context = nullptr;
  int result = decompressor_create(&context);
  ByteWindow source = source_of(record.stored);
  contents->clear();
  bool out_of_memory = false;
  while (result == 0 && contents->size() < record.fields.size) {
    std::size_t done = contents->size();
    std::size_t piece = std::min<std::size_t>(record.fields.size - done, kChunkLimit);
    if (!grow_by(contents, piece)) {
      out_of_memory = true;
      break;
    }
    result = decode_piece(context, &source, contents->data() + done, piece);
  }
  decompressor_destroy(&context);
  if (out_of_memory) {
    std::vector<std::uint8_t>().swap(*contents);
    *fault = record_name(record.index, record.rel_path) + ": not enough memory to hold its " +
             std::to_string(record.fields.size) + " bytes";
    return false;
  }
  if (result == 0) return true;
  *fault = record_name(record.index, record.rel_path) + ": the compressed stream does not decode (error " +
           std::to_string(result) + ")";
  return false;
}

}  // namespace

int decode_stream(std::span<const std::uint8_t> stream, std::span<std::uint8_t> contents) {
  Decompressor* context = nullptr;
  int result = decompressor_create(&context);
  if (result != 0) return result;
  ByteWindow source = source_of(stream);
  // Every call but the last fills a whole window, as the decoder requires.
  for (std::size_t done = 0; done < contents.size() && result == 0;) {
    std::size_t piece = std::min<std::size_t>(contents.size() - done, kChunkLimit);
    result = decode_piece(context, &source, contents.data() + done, piece);
    done += piece;
  }
  decompressor_destroy(&context);
  return result;
}

std::string_view header_text(const char (&field)[kTextFieldSize]) {
  return std::string_view(field, strnlen(field, kTextFieldSize));
}

bool open_installer(const std::string& path, InstallerReader* reader, std::string* fault) {
  reader->file.reset(std::fopen(path.c_str(), "rb"));
  if (!reader->file) {
    *fault = std::strerror(errno);
    return false;
  }
  if (::fseeko(reader->file.get(), 0, SEEK_END) != 0) {
    *fault = "cannot seek";
    return false;
  }
  reader->file_size = static_cast<std::uint64_t>(::ftello(reader->file.get()));
  if (!find_payload_block(reader, fault)) return false;
  PayloadHeader copy = reader->header;
  copy.header_crc = 0;
  std::uint16_t computed = crc16({reinterpret_cast<const std::uint8_t*>(&copy), kPayloadHeaderSize});
  if (computed != reader->header.header_crc) {
    *fault = "the payload header fails its CRC (a header text or field was changed)";
    return false;
  }
  if (reader->header.volume != kSingleVolume) {
    *fault = "the payload names volume " + std::to_string(reader->header.volume) + ", not the single volume -1";
    return false;
  }
  reader->records_start = reader->payload_offset + kPayloadHeaderSize;
  reader->next_record = reader->records_start;
  return true;
}

bool read_payload_record(InstallerReader* reader, std::uint32_t index, bool with_stored,
                         PayloadRecord* record, std::string* fault) {
  record->index = index;
  record->rel_path.clear();
  record->record_offset = reader->next_record - reader->records_start;
  std::uint64_t remaining = reader->file_size - reader->next_record;
  std::uint8_t length_bytes[4];
  if (remaining < 4 || !read_at(reader, reader->next_record, length_bytes, 4)) {
    *fault = record_name(index, "") + ": the payload ends before it";
    return false;
  }
  std::uint32_t length = load_u32(length_bytes);
  if (length < kMinRecordHeader || length > kMaxRecordHeader || length > remaining) {
    *fault = record_name(index, "") + ": header length " + std::to_string(length) +
             (length > remaining ? " runs past the end of the file" : " is out of range");
    return false;
  }
  record->header.resize(length);
  if (!read_at(reader, reader->next_record, record->header.data(), length)) {
    *fault = record_name(index, "") + ": cannot read its header";
    return false;
  }
  record->fields = decode_record_header(record->header.data());
  std::vector<std::uint8_t> zeroed = record->header;
  store_u16(zeroed.data() + record_offset::kRecordCrc, 0);
  if (crc16(zeroed) != record->fields.record_crc) {
    *fault = record_name(index, "") + ": the record header fails its CRC";
    return false;
  }
  std::string_view rel_path;
  if (record_rel_path(record->header, &rel_path)) record->rel_path = std::string(rel_path);
  RecordFault problem = check_record(record->header, record->fields);
  if (problem == RecordFault::kNone && record->fields.method == METHOD_REMOVE && record->fields.stored_size != 0)
    *fault = record_name(index, rel_path) + ": a removal record with stored bytes";
  else if (problem != RecordFault::kNone)
    *fault = record_name(index, rel_path) + ": " + record_fault_text(problem);
  else if (record->fields.stored_size > remaining - length)
    *fault = record_name(index, rel_path) + ": its stored bytes run past the end of the file";
  else
    fault->clear();
  if (!fault->empty()) return false;
  std::uint64_t stored_at = reader->next_record + length;
  reader->next_record = stored_at + record->fields.stored_size;
  record->stored.clear();
  if (!with_stored) return true;
  record->stored.resize(record->fields.stored_size);
  if (!read_at(reader, stored_at, record->stored.data(), record->stored.size())) {
    *fault = record_name(index, rel_path) + ": cannot read its stored bytes";
    return false;
  }
  return true;
}

bool record_contents(const PayloadRecord& record, std::vector<std::uint8_t>* contents, std::string* fault) {
  if (crc16(record.stored) != record.fields.stored_crc) {
    *fault = record_name(record.index, record.rel_path) + ": the stored bytes fail their CRC";
    return false;
  }
  if (record.fields.method == METHOD_STORED)
    *contents = record.stored;
  else if (!decode_record(record, contents, fault))
    return false;
  if (crc16(*contents) != record.fields.data_crc) {
    *fault = record_name(record.index, record.rel_path) + ": the file's contents fail their CRC";
    return false;
  }
  return true;
}

}  // namespace telo
