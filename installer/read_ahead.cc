#include "installer/read_ahead.h"

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <system_error>

namespace telo {

namespace {

constexpr std::uint64_t kRingSlack = 1u << 20;  // room for small records beside the largest
constexpr std::uint64_t kLine = 64;
constexpr std::uint32_t kCallsPerWakeUp = 64;     // the progress line needs no finer steps

using Lock = std::unique_lock<std::mutex>;

void reset(ReadRecord* item) {
  item->header.fields = FileRecord{};
  item->header.rel_path = nullptr;
  item->header_fault = RecordCheck::kNone;
  item->fault = RecordCheck::kNone;
  item->calls_done = 0;
  item->finished = false;
  item->stored = nullptr;
  item->decoded = nullptr;
  item->has_span = false;
  item->own_block.reset();
  item->contents = nullptr;
}

std::uint64_t whole_lines(std::uint64_t bytes) { return (bytes + kLine - 1) / kLine * kLine; }

// Hands the record being read over to the writer (it is the newest slot).
void hand_over(ReadAhead* r, ReadRecord* item, RecordCheck header_fault, bool finished) {
  Lock hold(r->lock);
  item->header_fault = header_fault;
  item->finished = finished;
  ++r->count;
  r->changed.notify_all();
}

void finish(ReadAhead* r, ReadRecord* item, RecordCheck fault) {
  Lock hold(r->lock);
  item->fault = fault;
  item->finished = true;
  r->changed.notify_all();
}

// Lays out the record's buffers, waiting for room; the decoded contents
// come first so that the stored bytes can be given back once decoded.
// False when cancelled or when a record larger than the ring finds no memory.
bool take_memory(ReadAhead* r, ReadRecord* item, bool* no_memory) {
  const FileRecord& record = item->header.fields;
  const std::uint64_t decoded = record.method == METHOD_STORED ? 0 : whole_lines(record.size);
  const std::uint64_t need = std::max(record_memory(record), kLine);
  Lock hold(r->lock);
  std::uint64_t at = kNoRoom;
  if (need <= r->ring_spans.size) {
    r->changed.wait(hold, [&] {
      return r->cancelled || (!r->own_block_held && (at = ring_room(r->ring_spans, need)) != kNoRoom);
    });
    if (r->cancelled) return false;
    ring_take(&r->ring_spans, at, need);
    item->has_span = true;
    item->decoded = r->ring + at;
    item->stored = r->ring + at + decoded;
    return true;
  }
  // Larger than the ring: alone, in a block of its own, with the ring's
  // pages given back meanwhile.
  r->changed.wait(hold, [&] { return r->cancelled || (r->ring_spans.count == 0 && !r->own_block_held); });
  if (r->cancelled) return false;
  if (r->ring != nullptr) (void)::madvise(r->ring, r->ring_spans.size, MADV_DONTNEED);
  item->own_block.reset(static_cast<std::uint8_t*>(need <= SIZE_MAX ? std::malloc(need) : nullptr));
  if (item->own_block == nullptr) {
    *no_memory = true;
    return false;
  }
  r->own_block_held = true;
  item->decoded = item->own_block.get();
  item->stored = item->own_block.get() + decoded;
  return true;
}

// The stored bytes of the newest span are no longer needed.
void give_back_stored(ReadAhead* r, ReadRecord* item) {
  if (!item->has_span) return;
  Lock hold(r->lock);
  ring_shrink_newest(&r->ring_spans, std::max(whole_lines(item->header.fields.size), kLine));
  r->changed.notify_all();
}

// Counts one decode call for the writer's progress line; false when cancelled.
bool count_call(ReadAhead* r, ReadRecord* item) {
  Lock hold(r->lock);
  ++item->calls_done;
  if (item->calls_done % kCallsPerWakeUp == 0) r->changed.notify_all();
  return !r->cancelled;
}

// Decodes the stored stream call by call into the record's contents; each
// call is counted for the writer's progress line.
RecordCheck decode(ReadAhead* r, ReadRecord* item) {
  if (r->context == nullptr && decompressor_create(&r->context) < 0) return RecordCheck::kDecoder;
  RecordDecoding decoding;
  start_record_decoding(&decoding, r->context, item->stored, item->header.fields);
  for (std::uint8_t* cursor = item->decoded; next_piece_size(decoding) != 0;) {
    std::uint32_t piece = next_piece_size(decoding);
    RecordCheck check = decode_next_piece(&decoding, cursor);
    cursor += piece;
    bool going_on = count_call(r, item);
    if (check == RecordCheck::kNone && !going_on) check = RecordCheck::kDecoder;
    if (check != RecordCheck::kNone) return check;
  }
  return RecordCheck::kNone;
}

// Reads, checks and decodes the contents of a file record.
RecordCheck read_contents(ReadAhead* r, ReadRecord* item) {
  const FileRecord& record = item->header.fields;
  if (RecordCheck check = read_stored_bytes(&r->source, record, item->stored); check != RecordCheck::kNone)
    return check;
  if (record.method == METHOD_STORED) {
    item->contents = item->stored;
    return RecordCheck::kNone;
  }
  if (RecordCheck check = decode(r, item); check != RecordCheck::kNone) return check;
  give_back_stored(r, item);
  item->contents = item->decoded;
  return RecordCheck::kNone;
}

// Reads the next record whole; false when reading ends here.
bool read_one(ReadAhead* r) {
  ReadRecord* item;
  {
    Lock hold(r->lock);
    r->changed.wait(hold, [&] { return r->cancelled || r->count < kReadAheadRecords; });
    if (r->cancelled) return false;
    item = &r->slots[(r->first + r->count) % kReadAheadRecords];
  }
  reset(item);
  if (RecordCheck fault = read_record_header(&r->source, r->crc_table, &item->header); fault != RecordCheck::kNone) {
    hand_over(r, item, fault, true);
    return false;
  }
  ++r->records_read;
  if (item->header.fields.method == METHOD_REMOVE) {
    hand_over(r, item, RecordCheck::kNone, true);
    return true;
  }
  hand_over(r, item, RecordCheck::kNone, false);
  bool no_memory = false;
  if (!take_memory(r, item, &no_memory)) {
    if (no_memory) finish(r, item, RecordCheck::kNoMemory);
    return false;
  }
  RecordCheck fault = read_contents(r, item);
  finish(r, item, fault);
  return fault == RecordCheck::kNone;
}

void read_all(ReadAhead* r) {
  while (r->records_read < r->file_count && read_one(r)) {
  }
  Lock hold(r->lock);
  r->reader_done = true;
  r->changed.notify_all();
}

}  // namespace

std::uint64_t record_memory(const FileRecord& record) {
  if (record.method == METHOD_REMOVE) return 0;
  std::uint64_t stored = whole_lines(record.stored_size);
  if (record.method == METHOD_STORED) return stored;
  return stored + whole_lines(record.size);
}

std::uint64_t largest_record_memory(PayloadSource source, std::uint32_t file_count) {
  std::uint64_t largest = 0;
  for (std::uint32_t i = 0; i < file_count; ++i) {
    std::uint8_t fixed[kRecordFixedSize];
    const std::uint64_t at = source.offset;
    if (payload_read(&source, fixed, sizeof fixed) != sizeof fixed) break;
    std::uint32_t length = load_u32(fixed);
    if (length < kMinRecordHeader || length > kMaxRecordHeader) break;
    FileRecord record = decode_record_header(fixed);
    largest = std::max(largest, record_memory(record));
    source.offset = at + length + record.stored_size;
  }
  return largest;
}

void read_ahead_start(ReadAhead* r, const std::uint8_t* crc_table, PayloadSource source,
                      std::uint32_t file_count) {
  r->crc_table = crc_table;
  r->source = source;
  r->file_count = file_count;
  // Only touched pages take memory; without a ring, records go one by one.
  std::uint64_t ring_size = largest_record_memory(source, file_count) + kRingSlack;
  void* ring = ring_size <= SIZE_MAX ? ::mmap(nullptr, ring_size, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                                     : MAP_FAILED;
  if (ring != MAP_FAILED) {
    r->ring = static_cast<std::uint8_t*>(ring);
    r->ring_spans.size = ring_size;
  }
  try {
    r->reader = std::thread(read_all, r);
    r->threaded = true;
  } catch (const std::system_error&) {
    r->threaded = false;  // read on demand instead
  }
}

ReadRecord* read_ahead_next(ReadAhead* r) {
  // Without a reader thread nothing else touches the state.
  if (!r->threaded && r->count == 0 && !r->reader_done) {
    if (r->records_read >= r->file_count || !read_one(r)) r->reader_done = true;
  }
  Lock hold(r->lock);
  r->changed.wait(hold, [&] { return r->count > 0 || r->reader_done; });
  return r->count > 0 ? &r->slots[r->first] : nullptr;
}

void read_ahead_wait(ReadAhead* r, const ReadRecord* item, std::uint32_t calls_seen, std::uint32_t* calls_done,
                     bool* finished) {
  Lock hold(r->lock);
  r->changed.wait(hold, [&] { return item->finished || item->calls_done > calls_seen; });
  *calls_done = item->calls_done;
  *finished = item->finished;
}

void read_ahead_release(ReadAhead* r, ReadRecord* item) {
  Lock hold(r->lock);
  if (item->has_span) ring_give_back_oldest(&r->ring_spans);
  if (item->own_block != nullptr) r->own_block_held = false;
  reset(item);
  r->first = (r->first + 1) % kReadAheadRecords;
  --r->count;
  r->changed.notify_all();
}

void read_ahead_stop(ReadAhead* r) {
  {
    Lock hold(r->lock);
    r->cancelled = true;
    r->changed.notify_all();
  }
  if (r->reader.joinable()) r->reader.join();
  for (ReadRecord& item : r->slots) reset(&item);
  if (r->ring != nullptr) ::munmap(r->ring, r->ring_spans.size);
  r->ring = nullptr;
  decompressor_destroy(&r->context);
  r->ring_spans = RecordRing{};
}

}  // namespace telo
