#pragma once

// Reading the records that follow the payload header. This is the one reader
// of the record stream: the installer and the packer's inspection both go
// through it, so they agree on every check. Each check that fails comes back
// as a value; what to tell the user is left to the caller.
//
// A record is read in three steps, each checked before the next one starts:
// its header (length, CRC, rules), its stored bytes (count, CRC), and, for a
// compressed record, its stream decoded in pieces (decoder, data CRC).

#include <cstdint>
#include <span>

#include "codec/codec.h"
#include "payload/format.h"
#include "payload/record_rules.h"

namespace telo {

// Where the next payload byte is read: a file and an offset in it. Reading
// goes by offset (pread), so that nothing else moves it.
struct PayloadSource {
  int fd = -1;
  std::uint64_t offset = 0;
};

// Reads up to `length` bytes at the source's offset and moves the offset on
// by the count read, which is smaller only at the end of the file or on a
// read error.
std::uint32_t payload_read(PayloadSource* source, void* into, std::uint32_t length);

// The checks of a record, in the order they are made.
enum class RecordCheck {
  kNone,
  kLength,       // the length cannot be read, or is out of range
  kHeaderShort,  // the rest of the header comes short
  kHeaderCrc,    // record_crc differs
  kRules,        // a path or sizes the record rules refuse
  kNoMemory,     // the record's buffers cannot be had
  kStoredShort,  // the stored bytes come short
  kStoredCrc,    // stored_crc differs
  kDecoder,      // the stream does not decode (or no decoder can be had)
  kDataCrc,      // data_crc differs
};

// A short English description of a failed check, for tools that report it.
const char* record_check_text(RecordCheck check);

// One record header as read.
struct RecordHeader {
  std::uint8_t bytes[kMaxRecordHeader];
  FileRecord fields;
  const char* rel_path = nullptr;  // within `bytes`, once the header passed its CRC and the path is terminated
  RecordFault rule = RecordFault::kNone;  // the rule broken, with kRules
};

// Reads the next record header at `source` and checks its length, its CRC
// (with `crc_table` from crc16_make_table) and the record rules.
RecordCheck read_record_header(PayloadSource* source, const std::uint8_t* crc_table, RecordHeader* header);

// Reads the record's stored_size stored bytes into `stored` and checks them
// against stored_crc. For a stored record these are the file's contents, so
// they are checked against data_crc as well.
RecordCheck read_stored_bytes(PayloadSource* source, const FileRecord& record, std::uint8_t* stored);

// The same checks on stored bytes already at hand (stored_size of them).
RecordCheck check_stored_bytes(const FileRecord& record, const std::uint8_t* stored);

// The same checks given the CRC-16 of the stored bytes, taken by a caller
// that reads them a stretch at a time.
RecordCheck check_stored_crc(const FileRecord& record, std::uint16_t crc);

// A codec stream decoded call by call, as every reader of the payload
// decodes it: every call but the last gives kChunkLimit (8192) bytes, the
// most one call gives and what the decoder needs of each call before the
// last.
struct StreamDecoding {
  Decompressor* context = nullptr;
  ByteWindow source;
  std::uint32_t size = 0;      // bytes to decode in all
  std::uint32_t produced = 0;  // bytes decoded so far
};

// Starts decoding `size` bytes of `stream` with `context` (from
// decompressor_create; it is reset here, so one context serves many streams).
void start_stream_decoding(StreamDecoding* decoding, Decompressor* context, std::span<const std::uint8_t> stream,
                           std::uint32_t size);

// Starts decoding a stream that begins `bit_offset` bits into `stream` (a
// piece of a record, see piece_table.h): `size` bytes from there, with a
// fresh window, in the same calls as the whole stream makes from that point
// when the piece starts at a multiple of kChunkLimit.
void start_stream_decoding_at(StreamDecoding* decoding, Decompressor* context, std::span<const std::uint8_t> stream,
                              std::uint64_t bit_offset, std::uint32_t size);

// The size of the next call (0 once every byte is decoded).
std::uint32_t next_call_size(const StreamDecoding& decoding);

// Decodes the next call's bytes into `out`. 0, or the codec's result.
int decode_next_call(StreamDecoding* decoding, std::uint8_t* out);

// Decodes the whole of `stream` into `contents` call by call, with a
// decoder of its own; no CRC is checked. For callers that hold the whole
// file. 0, or the result of the call that did not give 0.
int decode_stream(std::span<const std::uint8_t> stream, std::span<std::uint8_t> contents);

// A compressed record's stream decoded call by call (its pieces), with the
// data CRC taken piece by piece while the bytes are still in cache.
struct RecordDecoding {
  StreamDecoding stream;
  std::uint16_t crc = 0;       // of the bytes decoded so far
  std::uint16_t data_crc = 0;  // expected
};

// Starts decoding the stored stream of `record` with `context`, as
// start_stream_decoding does.
void start_record_decoding(RecordDecoding* decoding, Decompressor* context, const std::uint8_t* stored,
                           const FileRecord& record);

// The size of the next piece (0 once the whole file is decoded).
std::uint32_t next_piece_size(const RecordDecoding& decoding);

// Decodes the next piece into `out` (next_piece_size bytes). kDecoder when
// the call fails; once the last piece is in, kDataCrc when the contents
// differ from data_crc.
RecordCheck decode_next_piece(RecordDecoding* decoding, std::uint8_t* out);

}  // namespace telo
