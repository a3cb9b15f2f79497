#include "payload/read_ahead.h"

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <system_error>

#include "console/terminate.h"
#include "codec/codec.h"
#include "payload/crc16_sliced.h"
#include "payload/header.h"
#include "payload/record_path.h"

namespace telo {

namespace {

constexpr std::uint64_t kRingSlack = 1u << 20;  // room for small records beside the largest
constexpr std::uint64_t kLine = 64;
constexpr std::uint32_t kCallsPerWakeUp = 64;     // the progress line needs no finer steps

using Lock = std::unique_lock<std::mutex>;

void reset(ReadRecord* item) {
  item->record = FileRecord{};
  item->rel_path = nullptr;
  item->header_fault = ReadFault::kNone;
  item->fault = ReadFault::kNone;
  item->calls_done = 0;
  item->finished = false;
  item->stored = nullptr;
  item->decoded = nullptr;
  item->has_span = false;
  item->own_block.reset();
  item->contents = nullptr;
}

std::uint64_t whole_lines(std::uint64_t bytes) { return (bytes + kLine - 1) / kLine * kLine; }

ReadFault read_header(const std::uint8_t* crc_table, ReadRecord* item) {
  std::uint8_t* header = item->header;
  if (payload_read(header, 4) != 4) return ReadFault::kLength;
  std::uint32_t length = load_u32(header);
  if (length < kMinRecordHeader || length > kMaxRecordHeader) return ReadFault::kLength;
  if (payload_read(header + 4, length - 4) != length - 4) return ReadFault::kHeaderShort;
  std::uint16_t saved = load_u16(header + record_offset::kRecordCrc);
  store_u16(header + record_offset::kRecordCrc, 0);
  auto crc = static_cast<std::uint16_t>(crc16_update(crc_table, 0, header, length));
  store_u16(header + record_offset::kRecordCrc, saved);
  if (crc != saved) return ReadFault::kHeaderCrc;
  item->record = decode_record_header(header);
  item->rel_path = reinterpret_cast<const char*>(header + record_offset::kRelPath);
  // A damaged or hostile record must not reach outside the installation
  // directory; refused before anything is created or removed for it.
  if (check_record(std::span<const std::uint8_t>(header, length), item->record) != RecordFault::kNone)
    return ReadFault::kUnsafe;
  return ReadFault::kNone;
}

// Hands the record being read over to the writer (it is the newest slot).
void hand_over(ReadAhead* r, ReadRecord* item, ReadFault header_fault, bool finished) {
  Lock hold(r->lock);
  item->header_fault = header_fault;
  item->finished = finished;
  ++r->count;
  r->changed.notify_all();
}

void finish(ReadAhead* r, ReadRecord* item, ReadFault fault) {
  Lock hold(r->lock);
  item->fault = fault;
  item->finished = true;
  r->changed.notify_all();
}

// Lays out the record's buffers, waiting for room; the decoded contents
// come first so that the stored bytes can be given back once decoded.
// False when cancelled or when a record larger than the ring finds no memory.
bool take_memory(ReadAhead* r, ReadRecord* item, bool* no_memory) {
  const FileRecord& record = item->record;
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
  ring_shrink_newest(&r->ring_spans, std::max(whole_lines(item->record.size), kLine));
  r->changed.notify_all();
}

// Counts one decode call for the writer's progress line; false when cancelled.
bool count_call(ReadAhead* r, ReadRecord* item) {
  Lock hold(r->lock);
  ++item->calls_done;
  if (item->calls_done % kCallsPerWakeUp == 0) r->changed.notify_all();
  return !r->cancelled;
}

// Decodes the stored stream in calls of at most 8192 bytes and sets `crc`
// to the checksum of the output, taken call by call while still in cache.
ReadFault decode(ReadAhead* r, ReadRecord* item, std::uint16_t* crc) {
  const FileRecord& record = item->record;
  Decompressor* context = nullptr;
  if (decompressor_create(&context) < 0) return ReadFault::kDecoder;
  std::uint8_t* stored = item->stored;
  ByteWindow source{stored, stored + record.stored_size, 0, stored, record.stored_size};
  std::uint8_t* cursor = item->decoded;
  std::uint8_t* const end = cursor + record.size;
  *crc = 0;
  for (;;) {
    auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(end - cursor, kDecodeCall));
    ByteWindow destination{cursor, cursor + piece, 0, cursor, piece};
    int result = decompressor_decode(context, &source, &destination);
    *crc = crc16_sliced(*crc, cursor, piece);
    cursor += piece;
    bool going_on = count_call(r, item);
    if (result < 0 || !going_on) {
      decompressor_destroy(&context);
      return ReadFault::kDecoder;
    }
    if (cursor == end) break;
  }
  decompressor_destroy(&context);
  return ReadFault::kNone;
}

// Reads, checks and decodes the contents of a file record.
ReadFault read_contents(ReadAhead* r, ReadRecord* item) {
  const FileRecord& record = item->record;
  const bool stored_as_is = record.method == METHOD_STORED;  // stored_size equals size
  std::uint8_t* stored = item->stored;
  if (record.stored_size != 0 && payload_read(stored, record.stored_size) != record.stored_size)
    return ReadFault::kStoredShort;
  std::uint16_t stored_crc = crc16_sliced(0, stored, record.stored_size);
  if (stored_crc != record.stored_crc) return ReadFault::kStoredCrc;
  std::uint16_t data_crc = stored_crc;
  if (!stored_as_is) {
    if (ReadFault fault = decode(r, item, &data_crc); fault != ReadFault::kNone) return fault;
    give_back_stored(r, item);
  }
  if (data_crc != record.data_crc) return ReadFault::kDataCrc;
  item->contents = stored_as_is ? stored : item->decoded;
  return ReadFault::kNone;
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
  if (ReadFault fault = read_header(r->crc_table, item); fault != ReadFault::kNone) {
    hand_over(r, item, fault, true);
    return false;
  }
  ++r->records_read;
  if (item->record.method == METHOD_REMOVE) {
    hand_over(r, item, ReadFault::kNone, true);
    return true;
  }
  hand_over(r, item, ReadFault::kNone, false);
  bool no_memory = false;
  if (!take_memory(r, item, &no_memory)) {
    if (no_memory) finish(r, item, ReadFault::kNoMemory);
    return false;
  }
  ReadFault fault = read_contents(r, item);
  finish(r, item, fault);
  return fault == ReadFault::kNone;
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

std::uint64_t largest_record_memory(std::FILE* file, std::uint32_t file_count) {
  off_t at = ::ftello(file);
  if (at < 0) return 0;
  const int fd = ::fileno(file);
  std::uint64_t largest = 0;
  for (std::uint32_t i = 0; i < file_count; ++i) {
    std::uint8_t fixed[kRecordFixedSize];
    if (::pread(fd, fixed, sizeof fixed, at) != static_cast<ssize_t>(sizeof fixed)) break;
    std::uint32_t length = load_u32(fixed);
    if (length < kMinRecordHeader || length > kMaxRecordHeader) break;
    FileRecord record = decode_record_header(fixed);
    largest = std::max(largest, record_memory(record));
    at += static_cast<off_t>(length) + static_cast<off_t>(record.stored_size);
  }
  return largest;
}

void read_ahead_start(ReadAhead* r, const std::uint8_t* crc_table, std::uint32_t file_count) {
  r->crc_table = crc_table;
  r->file_count = file_count;
  // Only touched pages take memory; without a ring, records go one by one.
  std::uint64_t ring_size = largest_record_memory(payload_file, file_count) + kRingSlack;
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
  r->ring_spans = RecordRing{};
}

}  // namespace telo
