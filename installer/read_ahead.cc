#include "installer/read_ahead.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "payload/crc16_sliced.h"

namespace telo {

namespace {

// A large file decodes through a window of this size, which the writer
// empties as it writes; the ring holds a few such windows, or many small
// files whole.
constexpr std::uint32_t kLargeWindow = 2u << 20;
constexpr std::uint64_t kRingSize = 3 * std::uint64_t{kLargeWindow};
constexpr std::uint32_t kCallsPerWakeUp = 64;  // the writer writes and shows progress in steps this coarse
static_assert(kLargeWindow % kDecodeCall == 0 && kLargeWindow / kDecodeCall >= 2 * kCallsPerWakeUp,
              "a window holds whole calls, and room for the decoder while the writer writes");
// A stored record is read this many calls' bytes at a time: few system
// calls, and still a small part of a window.
constexpr std::uint32_t kStoredRead = 16 * kDecodeCall;
static_assert(kLargeWindow % kStoredRead == 0, "a read never runs past the end of a large window");
// A copy of stored bytes larger than this is given back after its record.
constexpr std::size_t kKeptCopy = 4u << 20;

using Lock = std::unique_lock<std::mutex>;

std::uint32_t round_to_calls(std::uint32_t size) {
  return static_cast<std::uint32_t>((std::uint64_t{size} + kDecodeCall - 1) / kDecodeCall * kDecodeCall);
}

void reset(ReadRecord* item) {
  item->stored_at = 0;
  item->header.fields = FileRecord{};
  item->header.rel_path = nullptr;
  item->header_fault = RecordCheck::kNone;
  item->fault = RecordCheck::kNone;
  item->calls_done = 0;
  item->finished = false;
  item->ready = false;
  item->claimed = false;
  item->consumed = 0;
  item->window = nullptr;
  item->window_size = 0;
  item->has_span = false;
  item->own_block.reset();
}

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

// Takes the window a record's contents go into, if there is room now.
// Windows are taken in record order, by the one reader that reads headers,
// and given back in the same order by the writer. Without reader threads
// the writer reads a file whole before writing it, so it gets a block of
// its own of the file's size. Called under the lock.
Memory take_window_locked(ReadAhead* r, ReadRecord* item) {
  const FileRecord& record = item->header.fields;
  const std::uint32_t whole = round_to_calls(record.size);
  if (whole == 0) return Memory::kTaken;  // nothing to hold
  if (!r->threaded) {
    item->own_block.reset(static_cast<std::uint8_t*>(std::malloc(whole)));
    if (item->own_block == nullptr) return Memory::kNone;
    item->window = item->own_block.get();
    item->window_size = whole;
    return Memory::kTaken;
  }
  const std::uint32_t size = std::min(whole, kLargeWindow);
  const std::uint64_t at = ring_room(r->ring_spans, size);
  if (at == kNoRoom) return Memory::kNoRoomYet;
  ring_take(&r->ring_spans, at, size);
  item->has_span = true;
  item->window = r->ring + at;
  item->window_size = size;
  return Memory::kTaken;
}

// Finds the record's stored bytes in the installer's file and asks the
// system to start reading them. False (`fault` kStoredShort) when they run
// past the end of the file as it was at the start.
bool place_stored(ReadAhead* r, ReadRecord* item, RecordCheck* fault) {
  const std::uint32_t stored_size = item->header.fields.stored_size;
  const std::uint64_t at = r->source.offset;
  r->source.offset += stored_size;
  if (at > r->file_size || stored_size > r->file_size - at) {
    *fault = RecordCheck::kStoredShort;
    return false;
  }
  item->stored_at = at;
  if (stored_size != 0) (void)::posix_fadvise(r->source.fd, static_cast<off_t>(at), stored_size, POSIX_FADV_WILLNEED);
  return true;
}

// Reads exactly `length` bytes at `at`; false when the file ends first (it
// was cut short since the start) or cannot be read.
bool read_exactly(int fd, std::uint64_t at, std::uint8_t* into, std::uint32_t length) {
  PayloadSource source{fd, at};
  return payload_read(&source, into, length) == length;
}

// Room for a copy of `size` bytes; false when memory cannot be had.
bool hold_copy(StoredCopy* copy, std::size_t size) {
  if (size == 0) size = 1;  // a valid place even for no bytes
  if (copy->capacity >= size) return true;
  copy->bytes.reset(static_cast<std::uint8_t*>(std::malloc(size)));
  copy->capacity = copy->bytes != nullptr ? size : 0;
  return copy->bytes != nullptr;
}

// Counts `calls` calls' bytes as ready for the writer; false when cancelled.
bool count_calls(ReadAhead* r, ReadRecord* item, std::uint32_t calls) {
  Lock hold(r->lock);
  const std::uint32_t before = item->calls_done;
  item->calls_done += calls;
  if (before / kCallsPerWakeUp != item->calls_done / kCallsPerWakeUp) r->changed.notify_all();
  return !r->cancelled;
}

// Waits until the window has room for the contents up to `end_of_next`
// behind what the writer has not written yet; false when cancelled.
bool wait_for_room(ReadAhead* r, ReadRecord* item, std::uint64_t end_of_next) {
  Lock hold(r->lock);
  if (end_of_next <= item->consumed + item->window_size) return !r->cancelled;
  r->changed.notify_all();  // the writer, to write what is there
  r->changed.wait(hold, [&] { return r->cancelled || end_of_next <= item->consumed + item->window_size; });
  return !r->cancelled;
}

// Decodes the stored stream call by call into the record's window, going
// round it as the writer empties it; each call is counted for the writer.
RecordCheck decode(ReadAhead* r, ReadRecord* item, Decompressor** context, const std::uint8_t* stored) {
  if (*context == nullptr && decompressor_create(context) < 0) return RecordCheck::kDecoder;
  RecordDecoding decoding;
  start_record_decoding(&decoding, *context, stored, item->header.fields);
  for (std::uint64_t produced = 0; next_piece_size(decoding) != 0; produced += kDecodeCall) {
    if (!wait_for_room(r, item, produced + kDecodeCall)) return RecordCheck::kDecoder;
    RecordCheck check = decode_next_piece(&decoding, item->window + produced % item->window_size);
    bool going_on = count_calls(r, item, 1);
    if (check == RecordCheck::kNone && !going_on) check = RecordCheck::kDecoder;
    if (check != RecordCheck::kNone) return check;
  }
  return RecordCheck::kNone;
}

// Reads a stored record into its window a stretch at a time, going round
// it as the writer empties it, and takes the CRC over exactly the bytes the
// writer gets: what changes in the file meanwhile is read, and caught, or
// not read at all.
RecordCheck copy_stored(ReadAhead* r, ReadRecord* item) {
  const FileRecord& record = item->header.fields;  // size equals stored_size (record rules)
  std::uint16_t crc = 0;
  for (std::uint64_t done = 0; done < record.size;) {
    const std::uint64_t at = done % item->window_size;
    const auto piece = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({record.size - done, kStoredRead, item->window_size - at}));
    if (!wait_for_room(r, item, done + piece)) return RecordCheck::kStoredShort;  // cancelled
    if (!read_exactly(r->source.fd, item->stored_at + done, item->window + at, piece))
      return RecordCheck::kStoredShort;
    crc = crc16_sliced(crc, item->window + at, piece);
    done += piece;
    if (!count_calls(r, item, (piece + kDecodeCall - 1) / kDecodeCall)) return RecordCheck::kStoredShort;
  }
  return check_stored_crc(record, crc);
}

// Reads a compressed record's stream whole into `copy`, checks it and
// decodes it; the contents are checked by their own CRC as they decode.
RecordCheck check_compressed(ReadAhead* r, ReadRecord* item, Decompressor** context, StoredCopy* copy) {
  const FileRecord& record = item->header.fields;
  if (!hold_copy(copy, record.stored_size)) return RecordCheck::kNoMemory;
  if (!read_exactly(r->source.fd, item->stored_at, copy->bytes.get(), record.stored_size))
    return RecordCheck::kStoredShort;
  RecordCheck check = check_stored_bytes(record, copy->bytes.get());
  if (check == RecordCheck::kNone) check = decode(r, item, context, copy->bytes.get());
  if (copy->capacity > kKeptCopy) *copy = StoredCopy{};
  return check;
}

// Checks a file record's stored bytes and puts its contents in its window.
RecordCheck check_contents(ReadAhead* r, ReadRecord* item, Decompressor** context, StoredCopy* copy) {
  if (item->header.fields.method == METHOD_STORED) return copy_stored(r, item);
  return check_compressed(r, item, context, copy);
}

// Reads the next record's header, in file order, into a new slot (there is
// room for one) and hands it over. Null when reading ends here; otherwise
// the record. A file record's stored bytes are still to be placed; once a
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

// Takes the newest record's window once the ring has room for it and
// places its stored bytes. kNoRoomYet leaves it waiting for the writer to give
// memory back; false (in `going_on`) when reading ends here.
Memory make_ready(ReadAhead* r, ReadRecord* item, bool* going_on) {
  {
    Lock hold(r->lock);
    const Memory memory = take_window_locked(r, item);
    if (memory == Memory::kNoRoomYet) return memory;
    if (memory == Memory::kNone) {
      finish_locked(r, item, RecordCheck::kNoMemory);
      *going_on = false;
      return memory;
    }
  }
  RecordCheck fault = RecordCheck::kNone;
  if (!place_stored(r, item, &fault)) {
    finish(r, item, fault);
    *going_on = false;
    return Memory::kTaken;
  }
  Lock hold(r->lock);
  item->ready = true;
  r->changed.notify_all();
  return Memory::kTaken;
}

// The oldest record waiting to be checked, or null.
ReadRecord* waiting_record(ReadAhead* r) {
  for (int k = 0; k < r->count; ++k) {
    ReadRecord* item = &r->slots[(r->first + k) % kReadAheadRecords];
    if (item->ready && !item->claimed) return item;
  }
  return nullptr;
}

bool may_read_next(const ReadAhead& r) {
  return !r.reader_done && r.records_read < r.file_count && r.count < kReadAheadRecords;
}

// The reading in file order, one step at a time by whichever reader holds
// it: the window of a record that waited for memory, or the next header and
// then its window. Called and returning under the lock; false when there
// was nothing it could do.
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
  const Memory memory = pending != nullptr ? make_ready(r, pending, &going_on) : Memory::kTaken;
  hold.lock();
  r->sequencing = false;
  r->waiting_for_memory = memory == Memory::kNoRoomYet ? pending : nullptr;
  if (!going_on || (r->records_read >= r->file_count && r->waiting_for_memory == nullptr)) r->reader_done = true;
  r->changed.notify_all();
  return true;
}

// A reader thread: checks and decodes the oldest record waiting, or else
// takes the next step of the reading in file order when no other reader
// does. Records are claimed oldest first, so the writer's record always has
// a reader, and a reader that waits for the writer to empty a window waits
// on a record the writer gets to.
void reader_main(ReadAhead* r) {
  Decompressor* context = nullptr;
  StoredCopy copy;
  Lock hold(r->lock);
  for (;;) {
    if (r->cancelled) break;
    if (ReadRecord* item = waiting_record(r)) {
      item->claimed = true;
      hold.unlock();
      const RecordCheck fault = check_contents(r, item, &context, &copy);
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

// Without reader threads, the writer's thread reads the next record whole.
void read_in_turn(ReadAhead* r) {
  Lock hold(r->lock);
  while (r->count == 0 && !r->reader_done) {
    sequence_step(r, hold);
    if (ReadRecord* item = waiting_record(r)) {
      item->claimed = true;
      hold.unlock();
      const RecordCheck fault = check_contents(r, item, &r->context, &r->copy);
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

void read_ahead_start(ReadAhead* r, const std::uint8_t* crc_table, PayloadSource source,
                      std::uint32_t file_count) {
  r->crc_table = crc_table;
  r->source = source;
  r->file_count = file_count;
  r->reader_done = file_count == 0;
  struct stat info {};
  if (::fstat(source.fd, &info) == 0) r->file_size = static_cast<std::uint64_t>(info.st_size);
  // Only touched pages take memory.
  void* ring = ::mmap(nullptr, kRingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (ring != MAP_FAILED) {
    r->ring = static_cast<std::uint8_t*>(ring);
    r->ring_spans.size = kRingSize;
  }
  const unsigned readers = r->ring != nullptr ? reader_count(*r) : 0;
  r->threaded = readers > 0;  // before any reader starts: they read it
  // Readers start with asynchronous signals blocked, so that a handler (which
  // removes the writer's temporary) runs on the writer's thread, between its steps.
  sigset_t blocked, kept;
  sigfillset(&blocked);
  for (int fault_signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&blocked, fault_signal);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &kept);
  for (unsigned k = 0; k < readers; ++k) {
    try {
      r->readers[k] = std::thread(reader_main, r);
    } catch (const std::system_error&) {
      // The readers started so far do the work; with none, the writer reads in turn.
      if (k == 0) r->threaded = false;
      break;
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &kept, nullptr);
}

ReadRecord* read_ahead_next(ReadAhead* r) {
  // Without a reader thread nothing else touches the state.
  if (!r->threaded && !r->fault_released) read_in_turn(r);
  Lock hold(r->lock);
  // Readers may have read past a record whose contents failed before the
  // fault was found; the writer never gets those.
  if (r->fault_released) return nullptr;
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

std::span<const std::uint8_t> read_ahead_ready_bytes(const ReadRecord* item, std::uint64_t written,
                                                     std::uint32_t calls_seen) {
  const FileRecord& record = item->header.fields;
  const std::uint64_t decoded = std::min<std::uint64_t>(std::uint64_t{calls_seen} * kDecodeCall, record.size);
  if (written >= decoded) return {};
  const std::uint64_t at = written % item->window_size;
  const std::uint64_t length = std::min<std::uint64_t>(decoded - written, item->window_size - at);
  return {item->window + at, static_cast<std::size_t>(length)};
}

void read_ahead_consumed(ReadAhead* r, ReadRecord* item, std::uint64_t written) {
  Lock hold(r->lock);
  item->consumed = written;
  r->changed.notify_all();
}

void read_ahead_release(ReadAhead* r, ReadRecord* item) {
  Lock hold(r->lock);
  if (item->fault != RecordCheck::kNone || item->header_fault != RecordCheck::kNone) r->fault_released = true;
  if (item->has_span) ring_give_back_oldest(&r->ring_spans);
  reset(item);
  r->first = (r->first + 1) % kReadAheadRecords;
  --r->count;
  ++r->memory_given_back;
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
  r->copy = StoredCopy{};
  r->ring_spans = RecordRing{};
}

}  // namespace telo
