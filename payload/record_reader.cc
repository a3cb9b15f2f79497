#include "payload/record_reader.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "payload/crc16.h"
#include "payload/crc16_sliced.h"

namespace telo {

std::uint32_t payload_read(PayloadSource* source, void* into, std::uint32_t length) {
  auto* at = static_cast<std::uint8_t*>(into);
  std::uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(source->fd, at + done, length - done, static_cast<off_t>(source->offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  source->offset += done;
  return done;
}

const char* record_check_text(RecordCheck check) {
  switch (check) {
    case RecordCheck::kNone: return "no fault";
    case RecordCheck::kLength: return "its header length cannot be read or is out of range";
    case RecordCheck::kHeaderShort: return "its header runs past the end of the file";
    case RecordCheck::kHeaderCrc: return "the record header fails its CRC";
    case RecordCheck::kRules: return "the record breaks the format's rules";
    case RecordCheck::kNoMemory: return "not enough memory to hold it";
    case RecordCheck::kStoredShort: return "its stored bytes run past the end of the file";
    case RecordCheck::kStoredCrc: return "the stored bytes fail their CRC";
    case RecordCheck::kDecoder: return "the compressed stream does not decode";
    case RecordCheck::kDataCrc: return "the file's contents fail their CRC";
  }
  return "unknown fault";
}

RecordCheck read_record_header(PayloadSource* source, const std::uint8_t* crc_table, RecordHeader* header) {
  std::uint8_t* bytes = header->bytes;
  header->rel_path = nullptr;
  header->rule = RecordFault::kNone;
  if (payload_read(source, bytes, 4) != 4) return RecordCheck::kLength;
  const std::uint32_t length = load_u32(bytes);
  if (length < kMinRecordHeader || length > kMaxRecordHeader) return RecordCheck::kLength;
  if (payload_read(source, bytes + 4, length - 4) != length - 4) return RecordCheck::kHeaderShort;
  const std::uint16_t saved = load_u16(bytes + record_offset::kRecordCrc);
  store_u16(bytes + record_offset::kRecordCrc, 0);
  const auto crc = static_cast<std::uint16_t>(crc16_update(crc_table, 0, bytes, length));
  store_u16(bytes + record_offset::kRecordCrc, saved);
  if (crc != saved) return RecordCheck::kHeaderCrc;
  header->fields = decode_record_header(bytes);
  header->rule = check_record(std::span<const std::uint8_t>(bytes, length), header->fields);
  if (header->rule != RecordFault::kUnterminatedPath)
    header->rel_path = reinterpret_cast<const char*>(bytes + record_offset::kRelPath);
  return header->rule == RecordFault::kNone ? RecordCheck::kNone : RecordCheck::kRules;
}

RecordCheck read_stored_bytes(PayloadSource* source, const FileRecord& record, std::uint8_t* stored) {
  if (record.stored_size != 0 && payload_read(source, stored, record.stored_size) != record.stored_size)
    return RecordCheck::kStoredShort;
  return check_stored_bytes(record, stored);
}

RecordCheck check_stored_bytes(const FileRecord& record, const std::uint8_t* stored) {
  return check_stored_crc(record, crc16_sliced(0, stored, record.stored_size));
}

RecordCheck check_stored_crc(const FileRecord& record, std::uint16_t crc) {
  if (crc != record.stored_crc) return RecordCheck::kStoredCrc;
  if (record.method == METHOD_STORED && crc != record.data_crc) return RecordCheck::kDataCrc;
  return RecordCheck::kNone;
}

void start_stream_decoding(StreamDecoding* d, Decompressor* context, std::span<const std::uint8_t> stream,
                           std::uint32_t size) {
  decompressor_reset(context);
  auto* first = const_cast<std::uint8_t*>(stream.data());  // the decoder only reads its source
  d->context = context;
  d->source = ByteWindow{first, first + stream.size(), 0, first, static_cast<std::uint32_t>(stream.size())};
  d->size = size;
  d->produced = 0;
}

void start_stream_decoding_at(StreamDecoding* d, Decompressor* context, std::span<const std::uint8_t> stream,
                              std::uint64_t bit_offset, std::uint32_t size) {
  start_stream_decoding(d, context, stream, size);
  decompressor_start_at(context, bit_offset);
}

std::uint32_t next_call_size(const StreamDecoding& d) {
  return std::min<std::uint32_t>(d.size - d.produced, kChunkLimit);
}

int decode_next_call(StreamDecoding* d, std::uint8_t* out) {
  const std::uint32_t call = next_call_size(*d);
  ByteWindow destination{out, out + call, 0, out, call};
  d->produced += call;
  return decompressor_decode(d->context, &d->source, &destination);
}

int decode_stream(std::span<const std::uint8_t> stream, std::span<std::uint8_t> contents) {
  Decompressor* context = nullptr;
  int result = decompressor_create(&context);
  if (result != 0) return result;
  StreamDecoding decoding;
  start_stream_decoding(&decoding, context, stream, static_cast<std::uint32_t>(contents.size()));
  while (result == 0 && next_call_size(decoding) != 0)
    result = decode_next_call(&decoding, contents.data() + decoding.produced);
  decompressor_destroy(&context);
  return result;
}

void start_record_decoding(RecordDecoding* d, Decompressor* context, const std::uint8_t* stored,
                           const FileRecord& record) {
  start_stream_decoding(&d->stream, context, {stored, record.stored_size}, record.size);
  d->crc = 0;
  d->data_crc = record.data_crc;
}

std::uint32_t next_piece_size(const RecordDecoding& d) { return next_call_size(d.stream); }

RecordCheck decode_next_piece(RecordDecoding* d, std::uint8_t* out) {
  const std::uint32_t piece = next_call_size(d->stream);
  const int result = decode_next_call(&d->stream, out);
  d->crc = crc16_sliced(d->crc, out, piece);
  if (result < 0) return RecordCheck::kDecoder;
  if (d->stream.produced == d->stream.size && d->crc != d->data_crc) return RecordCheck::kDataCrc;
  return RecordCheck::kNone;
}

}  // namespace telo
