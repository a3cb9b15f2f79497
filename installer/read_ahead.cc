#include "installer/read_ahead.h"

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <system_error>

namespace telo {

namespace {

// Room for small records beside the largest: with the largest record's
// needs and the program itself, memory stays within that record's needs
// and 8 MiB.
constexpr std::uint64_t kRingSlack = 5u << 20;
constexpr std::uint64_t kLine = 64;
constexpr std::uint32_t kCallsPerWakeUp = 64;  // the writer writes and shows progress in steps this coarse

using Lock = std::unique_lock<std::mutex>;

void reset(ReadRecord* item) {
  item->header.fields = FileRecord{};
  item->header.rel_path = nullptr;
  item->header_fault = RecordCheck::kNone;
  item->fault = RecordCheck::kNone;
  item->calls_done = 0;
  item->finished = false;
  item->stored_read = false;
  item->claimed = false;
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

// Under the lock: the record's contents are done, or failed; a fault ends
// the reading of further records, which the writer will never reach.
void finish_locked(ReadAhead* r, ReadRecord* item, RecordCheck fault) {
  item->fault = fault;
  item->finished = true;
  if (fault != RecordCheck::kNone) r->reader_done = true;
  r->changed.notify_all();
}

void finish(ReadAhead* r, ReadRecord* item, RecordCheck fault) {
  Lock hold(r->lock);
  finish_locked(r, item, fault);
}

enum class Memory { kTaken, kNoRoomYet, kNone };

// Lays out the record's buffers, if there is room now: the decoded
// contents, then the stored bytes. Spans are taken in record order, by the
// one reader that reads headers, and given back in the same order by the
// writer. Called under the lock.
Memory take_memory_locked(ReadAhead* r, ReadRecord* item) {
  const FileRecord& record = item->header.fields;
  const std::uint64_t decoded = record.method == METHOD_STORED ? 0 : whole_lines(record.size);
  const std::uint64_t need = std::max(record_memory(record), kLine);
  if (need <= r->ring_spans.size) {
    const std::uint64_t at = r->own_block_held ? kNoRoom : ring_room(r->ring_spans, need);
    if (at == kNoRoom) return Memory::kNoRoomYet;
    ring_take(&r->ring_spans, at, need);
    item->has_span = true;
    item->decoded = r->ring + at;
    item->stored = r->ring + at + decoded;
    return Memory::kTaken;
  }
  // Larger than the ring: alone, in a block of its own, with the ring's
  // pages given back meanwhile.
  if (r->ring_spans.count != 0 || r->own_block_held) return Memory::kNoRoomYet;
  if (r->ring != nullptr) (void)::madvise(r->ring, r->ring_spans.size, MADV_DONTNEED);
  item->own_block.reset(static_cast<std::uint8_t*>(need <= SIZE_MAX ? std::malloc(need) : nullptr));
  if (item->own_block == nullptr) return Memory::kNone;
  r->own_block_held = true;
  item->decoded = item->own_block.get();
  item->stored = item->own_block.get() + decoded;
  return Memory::kTaken;
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
RecordCheck decode(ReadAhead* r, ReadRecord* item, Decompressor** context) {
  if (*context == nullptr && decompressor_create(context) < 0) return RecordCheck::kDecoder;
  RecordDecoding decoding;
  start_record_decoding(&decoding, *context, item->stored, item->header.fields);
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

// Checks the stored bytes read for a file record and decodes them.
RecordCheck check_contents(ReadAhead* r, ReadRecord* item, Decompressor** context) {
  const FileRecord& record = item->header.fields;
  if (RecordCheck check = check_stored_bytes(record, item->stored); check != RecordCheck::kNone) return check;
  if (record.method == METHOD_STORED) {
    item->contents = item->stored;
    return RecordCheck::kNone;
  }
  if (RecordCheck check = decode(r, item, context); check != RecordCheck::kNone) return check;
  item->contents = item->decoded;
  return RecordCheck::kNone;
}

// Reads the next record's header, in file order, into a new slot (there is
// room for one) and hands it over. Null when reading ends here; otherwise
// the record. A file record's stored bytes are still to be read; once a
// removal is handed over, the writer may give it back at any moment.
ReadRecord* read_next_header(ReadAhead* r, bool* is_removal) {
  ReadRecord* item;
  {
    Lock hold(r->lock);
    item = &r->slots[(r->first + r->count) % kReadAheadRecords];
  }
  reset(item);
  if (RecordCheck fault = read_record_header(&r->source, r->crc_table, &item->header); fault != RecordCheck::kNone) {
    hand_over(r, item, fault, true);
    return nullptr;
  }
  ++r->records_read;
  *is_removal = item->header.fields.method == METHOD_REMOVE;
  hand_over(r, item, RecordCheck::kNone, *is_removal);
  return item;
}

// Reads the stored bytes of the newest record once the ring has room for
// its buffers. kNoRoomYet leaves it waiting for the writer to give memory
// back; false (in `going_on`) when reading ends here.
Memory read_stored(ReadAhead* r, ReadRecord* item, bool* going_on) {
  Memory memory;
  {
    Lock hold(r->lock);
    memory = take_memory_locked(r, item);
    if (memory == Memory::kNoRoomYet) return memory;
    if (memory == Memory::kNone) {
      finish_locked(r, item, RecordCheck::kNoMemory);
      *going_on = false;
      return memory;
    }
  }
  const std::uint32_t stored_size = item->header.fields.stored_size;
  if (stored_size != 0 && payload_read(&r->source, item->stored, stored_size) != stored_size) {
    finish(r, item, RecordCheck::kStoredShort);
    *going_on = false;
    return memory;
  }
  Lock hold(r->lock);
  item->stored_read = true;
  r->changed.notify_all();
  return memory;
}

// The oldest record whose stored bytes wait to be checked, or null.
ReadRecord* waiting_record(ReadAhead* r) {
  for (int k = 0; k < r->count; ++k) {
    ReadRecord* item = &r->slots[(r->first + k) % kReadAheadRecords];
    if (item->stored_read && !item->claimed) return item;
  }
  return nullptr;
}

bool may_read_next(const ReadAhead& r) {
  return !r.reader_done && r.records_read < r.file_count && r.count < kReadAheadRecords;
}

// The reading in file order, one step at a time by whichever reader holds
// it: the stored bytes of a record that waited for memory, or the next
// header and then its stored bytes. Called and returning under the lock;
// false when there was nothing it could do.
bool sequence_step(ReadAhead* r, Lock& hold) {
  ReadRecord* pending = r->waiting_for_memory;
  if (pending != nullptr && r->memory_given_back == r->memory_tried) return false;
  if (pending == nullptr && !may_read_next(*r)) return false;
  r->sequencing = true;
  r->memory_tried = r->memory_given_back;
  hold.unlock();
  bool going_on = true;
  if (pending == nullptr) {
    bool is_removal = false;
    pending = read_next_header(r, &is_removal);
    going_on = pending != nullptr;
    if (is_removal) pending = nullptr;
  }
  const Memory memory = pending != nullptr ? read_stored(r, pending, &going_on) : Memory::kTaken;
  hold.lock();
  r->sequencing = false;
  r->waiting_for_memory = memory == Memory::kNoRoomYet ? pending : nullptr;
  if (!going_on || (r->records_read >= r->file_count && r->waiting_for_memory == nullptr)) r->reader_done = true;
  r->changed.notify_all();
  return true;
}

// A reader thread: checks and decodes the oldest record waiting, or else
// takes the next step of the reading in file order when no other reader does.
void reader_main(ReadAhead* r) {
  Decompressor* context = nullptr;
  Lock hold(r->lock);
  for (;;) {
    if (r->cancelled) break;
    if (ReadRecord* item = waiting_record(r)) {
      item->claimed = true;
      hold.unlock();
      const RecordCheck fault = check_contents(r, item, &context);
      hold.lock();
      finish_locked(r, item, fault);
      continue;
    }
    if (!r->sequencing && sequence_step(r, hold)) continue;
    r->changed.wait(hold);
  }
  hold.unlock();
  decompressor_destroy(&context);
}

// Without reader threads, the writer's thread reads the next record whole
// (the ring is empty then, so its memory is always there).
void read_in_turn(ReadAhead* r) {
  Lock hold(r->lock);
  while (r->count == 0 && !r->reader_done) {
    sequence_step(r, hold);
    if (ReadRecord* item = waiting_record(r)) {
      item->claimed = true;
      hold.unlock();
      const RecordCheck fault = check_contents(r, item, &r->context);
      hold.lock();
      finish_locked(r, item, fault);
    }
  }
}

unsigned reader_count(const ReadAhead& r) {
  const unsigned wanted = r.reader_threads != 0 ? r.reader_threads : std::thread::hardware_concurrency();
  return std::clamp(wanted, 1u, kMostReaders);
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
  r->reader_done = file_count == 0;
  // Only touched pages take memory; without a ring, records go one by one.
  std::uint64_t ring_size = largest_record_memory(source, file_count) + kRingSlack;
  void* ring = ring_size <= SIZE_MAX ? ::mmap(nullptr, ring_size, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                                     : MAP_FAILED;
  if (ring != MAP_FAILED) {
    r->ring = static_cast<std::uint8_t*>(ring);
    r->ring_spans.size = ring_size;
  }
  const unsigned readers = reader_count(*r);
  for (unsigned k = 0; k < readers; ++k) {
    try {
      r->readers[k] = std::thread(reader_main, r);
      r->threaded = true;
    } catch (const std::system_error&) {
      break;  // the readers started so far do the work; with none, the writer reads in turn
    }
  }
}

ReadRecord* read_ahead_next(ReadAhead* r) {
  // Without a reader thread nothing else touches the state.
  if (!r->threaded) read_in_turn(r);
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
  ++r->memory_given_back;
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
  for (std::thread& reader : r->readers)
    if (reader.joinable()) reader.join();
  for (ReadRecord& item : r->slots) reset(&item);
  if (r->ring != nullptr) ::munmap(r->ring, r->ring_spans.size);
  r->ring = nullptr;
  decompressor_destroy(&r->context);
  r->ring_spans = RecordRing{};
}

}  // namespace telo
