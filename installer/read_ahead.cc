#include "installer/read_ahead.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "installer/record_ring.h"
#include "payload/crc16.h"
#include "payload/crc16_sliced.h"

namespace telo {

namespace {

// A few large windows, or one pieced window and more, or many small files.
constexpr std::uint64_t kRingSize = std::uint64_t{kPiecedWindow} + 2 * std::uint64_t{kReadAheadWindow};
constexpr std::uint32_t kCallsPerWakeUp = 64;  // the writer writes and shows progress in steps this coarse
static_assert(kReadAheadWindow % kDecodeCall == 0 && kReadAheadWindow / kDecodeCall >= 2 * kCallsPerWakeUp,
              "a window holds whole calls, and room for the decoder while the writer writes");
// A stored record is read this many calls' bytes at a time: few system
// calls, and still a small part of a window.
constexpr std::uint32_t kStoredRead = 16 * kDecodeCall;
static_assert(kReadAheadWindow % kStoredRead == 0, "a read never runs past the end of a large window");
// A file this small, that fits its window whole, is checked by the reader
// that found it, at once: handing it to another would cost more than its
// work. Its stored bytes are read without asking the kernel ahead.
constexpr std::uint32_t kCheckedAtOnce = 256 * 1024;
static_assert(kCheckedAtOnce <= kReadAheadWindow, "a small file fits its window whole");
// Such files are handed to a waiting writer this many at a time: a wake-up
// per file would cost more than the file. A reader about to wait, and the
// end of the reading, wake the writer whatever the count.
constexpr int kWakeBatch = 16;
// A copy of stored bytes larger than this is given back after its record.
constexpr std::size_t kKeptCopy = 4u << 20;
// A piece's stored bytes are read this far past its last bit, so that the
// decoder's look-ahead meets the stream's own bits, as in the whole stream.
constexpr std::uint64_t kPieceSlack = 16;
constexpr std::uint32_t kNoPiece = UINT32_MAX;

// Every record held takes at most one span of the ring, so with as many
// slots as spans the ring never lacks a place for a span, only bytes.
constexpr int kSlots = kRingSpans;

struct FreeBytes {
  void operator()(void* p) const { std::free(p); }
};
using OwnedBytes = std::unique_ptr<std::uint8_t, FreeBytes>;

// A reader's copy of a compressed record's stored bytes, kept for the next.
struct StoredCopy {
  OwnedBytes bytes;
  std::size_t capacity = 0;
};

// One piece of a record decoded apart. Written by the reader that claimed
// it: calls_done under the lock, the rest before `done` is set under it.
struct PieceWork {
  std::uint32_t calls_done = 0;     // decode calls made, a failed one included
  std::uint16_t stored_crc = 0;     // of the stored bytes the piece accounts for
  std::uint16_t data_crc = 0;       // of its output
  RecordCheck fault = RecordCheck::kNone;  // kNoMemory, kStoredShort or kDecoder
  bool seam_broken = false;  // it did not end where the next piece starts, between blocks
  bool done = false;
};

}  // namespace

// A slot's life. The state changes only under the reading's lock:
//   kFree       -> kHeader      the sequencing reader takes the slot after the newest
//   kHeader     -> kFinished    handed over: its header failed, or it is a removal
//   kHeader     -> kNeedsWindow handed over: a file, whose window waits for room
//   kNeedsWindow -> kPlacing    its window taken; the sequencing reader finds its stored bytes
//   kNeedsWindow -> kFinished   no memory for its window
//   kPlacing    -> kReady       its stored bytes lie in the file, waiting for a reader
//   kPlacing    -> kChecking    a small file: the sequencing reader checks it at once
//                               (whole in its window, it never waits for the writer)
//   kPlacing    -> kFinished    they run past the end of the file
//   kReady      -> kChecking    a reader claims it, oldest first
//   kChecking   -> kFinished    its contents checked and decoded, or failed
// A record decoded in pieces goes on from kReady in its own steps:
//   kReady      -> kStoredCheck a reader claims it, to check its stored bytes whole
//   kStoredCheck -> kFinished   they come short or fail their CRC
//   kStoredCheck -> kPieces     they pass: its pieces wait for readers
//   kPieces     -> kChecking    a reader claims its last piece
//   kChecking   -> kFinished    every piece is done: the verdict on all of them
//   kChecking   -> kStartOver   the pieces failed where the stream from its start
//                               passes: the table does not fit, the contents start over
//   kStartOver  -> kReady       the writer let go of the window; now a record
//                               decoded from its start like any other
//   any handed over -> kFree    the writer gives back the oldest, once it took it
// "Handed over" slots are the `count` from `first` on; the writer takes only
// the oldest of them.
enum class SlotState {
  kFree, kHeader, kNeedsWindow, kPlacing, kReady, kStoredCheck, kPieces, kChecking, kStartOver, kFinished
};

// Who writes what (L: under the lock):
//   header                     the sequencing reader, in kHeader (no one else looks at it then)
//   header_fault               the sequencing reader, at the hand-over (L)
//   window, window_size,
//   has_span, own_block        the sequencing reader, at kNeedsWindow -> kPlacing (L)
//   stored_at                  the sequencing reader, in kPlacing; published by kReady (L)
//   calls_done                 the checking reader, in kChecking (L); the writer
//                              at kStartOver -> kReady (L)
//   fault                      whoever moves the slot to kFinished (L)
//   consumed                   the writer, while it holds the record (L)
//   pieces, piece_work         the sequencing reader, in kHeader; the last piece's
//                              reader clears them at kChecking -> kStartOver (L)
//   pieces_claimed, pieces_finished, front_piece, failed_piece
//                              the readers of its pieces (L)
//   piece_work[p]              the reader that claimed piece p (see PieceWork)
// The writer reads the header once it was handed over, the window once a
// call is counted, and `fault` once the record is finished; the checking
// reader reads window and stored_at once it claimed the record: each after
// seeing, under the lock, the change that published them.
struct ReadRecord {
  SlotState state = SlotState::kFree;
  RecordHeader header;
  RecordCheck header_fault = RecordCheck::kNone;
  RecordCheck fault = RecordCheck::kNone;
  std::uint32_t calls_done = 0;   // decode calls made, a failed one included
  std::uint64_t consumed = 0;     // decoded bytes the writer has written
  std::uint64_t stored_at = 0;    // file offset of the stored bytes
  std::uint8_t* window = nullptr; // where the contents go
  std::uint32_t window_size = 0;  // a multiple of kDecodeCall, or the whole file rounded up
  bool has_span = false;          // the window is a span of the ring (else a block of its own)
  OwnedBytes own_block;
  // Decoding in pieces: `calls_done` then counts the calls of every piece
  // before `front_piece`, all done and sound, and that piece's own.
  const RecordPieces* pieces = nullptr;  // the table's entry, when the record decodes in pieces
  std::unique_ptr<PieceWork[]> piece_work;
  std::uint32_t pieces_claimed = 0;
  std::uint32_t pieces_finished = 0;
  std::uint32_t front_piece = 0;          // the first piece not yet done and sound
  std::uint32_t failed_piece = kNoPiece;  // the first piece that failed: later ones stop
};

// The reading's state. Set before any reader starts and fixed after:
// crc_table, pieces, file_size, file_count, ring, threaded. Only the reader that
// holds `sequencing` (taken and left under the lock) changes `source` and
// `records_read`; others read `records_read` under the lock while no one
// holds it. Only the writer's thread touches `context`,
// `copy` (used when no reader thread runs) and `readers`. Everything else
// is read and written under `lock`. The readers wait on `changed`, the
// writer on `writer_wakes`; each change is signalled to the side that waits
// for it, and only while one of them waits (`threads_waiting`,
// `writer_waiting`), so that a record costs no wake-up nobody needs.
struct ReadAhead {
  std::mutex lock;
  std::condition_variable changed;       // the readers wait on it
  std::condition_variable writer_wakes;  // the writer waits on it
  const std::uint8_t* crc_table = nullptr;
  PieceTable pieces;                // where files' pieces start; empty when none
  std::uint64_t file_size = 0;      // of the installer's file, as it was at the start
  std::uint32_t file_count = 0;
  std::uint8_t* ring = nullptr;     // mapped, ring_spans.size bytes
  bool threaded = false;            // reader threads do the reading

  PayloadSource source;             // where the next header is
  std::uint32_t records_read = 0;   // headers read

  Decompressor* context = nullptr;
  StoredCopy copy;
  std::thread readers[kMostReaders];

  ReadRecord slots[kSlots];
  int first = 0;                    // the oldest record handed over
  int count = 0;                    // records handed over and not yet given back
  RecordRing ring_spans;
  bool sequencing = false;          // a reader reads the next header or takes a window
  ReadRecord* waiting_for_window = nullptr;  // the newest record, when its window found no room
  std::uint64_t releases = 0;       // records the writer has given back
  std::uint64_t releases_at_last_try = 0;    // `releases` when that window last found no room
  bool reading_done = false;        // all headers read, or a fault ended the reading
  bool fault_released = false;      // the writer gave back a record with a fault: none follow
  bool cancelled = false;
  unsigned threads = 0;             // reader threads started and not yet stopped
  unsigned threads_waiting = 0;     // of them, waiting on `changed`
  bool writer_waiting = false;      // the writer waits on `writer_wakes`
};

void StopReadAhead::operator()(ReadAhead* reader) const {
  read_ahead_stop(reader);
  delete reader;
}

namespace {

using Lock = std::unique_lock<std::mutex>;

// Under the lock: tells the readers, or the writer, or both, of a change
// they may wait for.
void wake_readers(ReadAhead* r) {
  if (r->threads_waiting > 0) r->changed.notify_all();
}
void wake_writer(ReadAhead* r) {
  if (r->writer_waiting) r->writer_wakes.notify_one();
}
void wake_everyone(ReadAhead* r) {
  wake_readers(r);
  wake_writer(r);
}

// The writer's wait.
template <typename Until>
void writer_wait(ReadAhead* r, Lock& hold, Until until) {
  r->writer_waiting = true;
  r->writer_wakes.wait(hold, until);
  r->writer_waiting = false;
}

// A reader thread's wait, counted for read_ahead_counts. The writer may be
// waiting for records this reader finished without waking it: it is woken
// first, so that no record waits while both sides sleep.
template <typename Until>
void reader_wait(ReadAhead* r, Lock& hold, Until until) {
  wake_writer(r);
  ++r->threads_waiting;
  r->changed.wait(hold, until);
  --r->threads_waiting;
}

std::uint32_t round_to_calls(std::uint32_t size) {
  return static_cast<std::uint32_t>((std::uint64_t{size} + kDecodeCall - 1) / kDecodeCall * kDecodeCall);
}

ReadRecord* slot_at(ReadAhead* r, int k) { return &r->slots[(r->first + k) % kSlots]; }

void reset(ReadRecord* item) {
  item->state = SlotState::kFree;
  item->header.fields = FileRecord{};
  item->header.rel_path = nullptr;
  item->header_fault = RecordCheck::kNone;
  item->fault = RecordCheck::kNone;
  item->calls_done = 0;
  item->consumed = 0;
  item->stored_at = 0;
  item->window = nullptr;
  item->window_size = 0;
  item->has_span = false;
  item->own_block.reset();
  item->pieces = nullptr;
  item->piece_work.reset();
  item->pieces_claimed = 0;
  item->pieces_finished = 0;
  item->front_piece = 0;
  item->failed_piece = kNoPiece;
}

// Under the lock: the record is done, or failed; a fault ends the reading
// of further records, which the writer will never reach. A small file may
// leave the writer to be woken with its batch (`tell_writer` false).
void finish_locked(ReadAhead* r, ReadRecord* item, RecordCheck fault, bool tell_writer = true) {
  item->fault = fault;
  item->state = SlotState::kFinished;
  if (fault != RecordCheck::kNone) r->reading_done = true;
  if (tell_writer || fault != RecordCheck::kNone) wake_writer(r);
}

enum class Memory { kTaken, kNoRoomYet, kNone };

// Under the lock: takes the window a record's contents go into, if there is
// room now. Windows are taken in record order, by the sequencing reader,
// and given back in the same order by the writer. Without reader threads
// the writer reads a file whole before writing it, so it gets a block of
// its own of the file's size.
Memory take_window_locked(ReadAhead* r, ReadRecord* item) {
  const std::uint32_t whole = round_to_calls(item->header.fields.size);
  if (whole == 0) return Memory::kTaken;  // nothing to hold
  if (!r->threaded) {
    item->own_block.reset(static_cast<std::uint8_t*>(std::malloc(whole)));
    if (item->own_block == nullptr) return Memory::kNone;
    item->window = item->own_block.get();
    item->window_size = whole;
    return Memory::kTaken;
  }
  const std::uint32_t size = std::min(whole, item->pieces != nullptr ? kPiecedWindow : kReadAheadWindow);
  const std::uint64_t at = ring_room(r->ring_spans, size);
  if (at == kNoRoom) return Memory::kNoRoomYet;
  ring_take(&r->ring_spans, at, size);
  item->has_span = true;
  item->window = r->ring + at;
  item->window_size = size;
  return Memory::kTaken;
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
  if (before / kCallsPerWakeUp != item->calls_done / kCallsPerWakeUp) wake_writer(r);
  return !r->cancelled;
}

// Waits until the window has room for the contents up to `end_of_next`
// behind what the writer has not written yet; false when cancelled.
bool wait_for_room(ReadAhead* r, ReadRecord* item, std::uint64_t end_of_next) {
  Lock hold(r->lock);
  if (end_of_next <= item->consumed + item->window_size) return !r->cancelled;
  wake_writer(r);  // to write what is there
  reader_wait(r, hold, [&] { return r->cancelled || end_of_next <= item->consumed + item->window_size; });
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

// ---- A file decoded in pieces, on every reader at once ----

std::uint32_t piece_count(const ReadRecord& item) { return static_cast<std::uint32_t>(item.pieces->pieces.size()); }

// What piece `p` reads, checks and produces. Its CRC covers the stored bytes
// from the one holding its first bit up to the one holding the next piece's
// first bit, so that the pieces' parts join into the whole stored stream.
struct PieceSpan {
  std::uint64_t first_byte = 0;  // of the stored bytes, holding the piece's first bit
  std::uint64_t crc_end = 0;     // end of the bytes its CRC covers
  std::uint64_t read_end = 0;    // end of the bytes it reads, look-ahead included
  std::uint32_t first_bit = 0;   // within first_byte, from its most significant bit
  std::uint32_t output_start = 0;
  std::uint32_t output_end = 0;
};

PieceSpan piece_span(const ReadRecord& item, std::uint32_t p) {
  const FileRecord& record = item.header.fields;
  const std::vector<PiecePoint>& points = item.pieces->pieces;
  const bool last = p + 1 == points.size();
  const std::uint64_t end_bit = last ? std::uint64_t{record.stored_size} * 8 : points[p + 1].bit_offset;
  PieceSpan span;
  span.first_byte = points[p].bit_offset / 8;
  span.first_bit = static_cast<std::uint32_t>(points[p].bit_offset % 8);
  span.crc_end = last ? record.stored_size : end_bit / 8;
  span.read_end = std::min<std::uint64_t>(record.stored_size, (end_bit + 7) / 8 + kPieceSlack);
  span.output_start = points[p].output_offset;
  span.output_end = last ? record.size : points[p + 1].output_offset;
  return span;
}

// Under the lock: moves the front past the pieces done and sound, and
// counts the calls the writer may now take.
void advance_front_locked(ReadAhead* r, ReadRecord* item) {
  const std::uint32_t before = item->calls_done;
  const std::uint32_t count = piece_count(*item);
  while (item->front_piece < count && item->piece_work[item->front_piece].done &&
         item->piece_work[item->front_piece].fault == RecordCheck::kNone &&
         !item->piece_work[item->front_piece].seam_broken)
    ++item->front_piece;
  const std::uint32_t size = item->header.fields.size;
  item->calls_done = item->front_piece == count
                         ? (size + kDecodeCall - 1) / kDecodeCall
                         : item->pieces->pieces[item->front_piece].output_offset / kDecodeCall +
                               item->piece_work[item->front_piece].calls_done;
  if (before / kCallsPerWakeUp != item->calls_done / kCallsPerWakeUp) wake_writer(r);
}

// Counts a call of piece `p`; false when cancelled.
bool count_piece_call(ReadAhead* r, ReadRecord* item, std::uint32_t p) {
  Lock hold(r->lock);
  ++item->piece_work[p].calls_done;
  if (p == item->front_piece) advance_front_locked(r, item);
  return !r->cancelled;
}

// Waits until the window has room for piece `p`'s output up to `end`; false
// when cancelled, or when an earlier piece failed: the record's verdict is
// known then, and the writer will take nothing beyond that piece.
bool wait_for_piece_room(ReadAhead* r, ReadRecord* item, std::uint32_t p, std::uint64_t end) {
  Lock hold(r->lock);
  const auto going_on = [&] { return !r->cancelled && (item->failed_piece == kNoPiece || item->failed_piece > p); };
  if (end <= item->consumed + item->window_size || !going_on()) return going_on();
  wake_writer(r);  // to write what is there
  reader_wait(r, hold, [&] { return !going_on() || end <= item->consumed + item->window_size; });
  return going_on();
}

// Reads piece `p`'s stored bytes, takes their CRC and decodes them into the
// window as the writer empties it.
PieceWork decode_piece(ReadAhead* r, ReadRecord* item, std::uint32_t p, Decompressor** context, StoredCopy* copy) {
  const PieceSpan span = piece_span(*item, p);
  const auto length = static_cast<std::uint32_t>(span.read_end - span.first_byte);
  PieceWork work;
  if (!hold_copy(copy, length)) return {.fault = RecordCheck::kNoMemory};
  if (!read_exactly(r->source.fd, item->stored_at + span.first_byte, copy->bytes.get(), length))
    return {.fault = RecordCheck::kStoredShort};
  work.stored_crc = crc16_sliced(0, copy->bytes.get(), span.crc_end - span.first_byte);
  if (*context == nullptr && decompressor_create(context) < 0) return {.fault = RecordCheck::kDecoder};
  StreamDecoding decoding;
  start_stream_decoding_at(&decoding, *context, {copy->bytes.get(), length}, span.first_bit,
                           span.output_end - span.output_start);
  for (std::uint64_t at = span.output_start; next_call_size(decoding) != 0; at += kDecodeCall) {
    if (!wait_for_piece_room(r, item, p, at + kDecodeCall)) return work;
    std::uint8_t* out = item->window + at % item->window_size;
    const std::uint32_t call = next_call_size(decoding);
    const int result = decode_next_call(&decoding, out);
    work.data_crc = crc16_sliced(work.data_crc, out, call);
    const bool going_on = count_piece_call(r, item, p);
    if (result != 0 || !going_on) {
      work.fault = RecordCheck::kDecoder;
      return work;
    }
  }
  // Decoded from its start, the stream must stand where the next piece
  // starts, between blocks; else the two decodings part ways there.
  if (p + 1 < piece_count(*item))
    work.seam_broken = decompressor_bits_used(*context, &decoding.source) !=
                           item->pieces->pieces[p + 1].bit_offset - span.first_byte * 8 ||
                       !decompressor_between_blocks(*context);
  if (copy->capacity > kKeptCopy) *copy = StoredCopy{};
  return work;
}

// The verdict on a record whose pieces are all done, in the order of a
// record's checks: its stored bytes as the pieces read them, then their
// decoding, then the contents they made together. kDecoder stands for
// anything that the stream decoded from its start must settle.
RecordCheck pieces_verdict(const ReadRecord& item) {
  const FileRecord& record = item.header.fields;
  const std::uint32_t count = piece_count(item);
  for (std::uint32_t p = 0; p < count; ++p) {
    const RecordCheck fault = item.piece_work[p].fault;
    if (fault == RecordCheck::kNoMemory || fault == RecordCheck::kStoredShort) return fault;
  }
  std::uint16_t stored = 0, data = 0;
  for (std::uint32_t p = 0; p < count; ++p) {
    const PieceSpan span = piece_span(item, p);
    stored = crc16_combine(stored, item.piece_work[p].stored_crc, span.crc_end - span.first_byte);
    data = crc16_combine(data, item.piece_work[p].data_crc, span.output_end - span.output_start);
  }
  // The file may have changed since the stored bytes were checked whole.
  if (check_stored_crc(record, stored) != RecordCheck::kNone) return RecordCheck::kStoredCrc;
  if (item.failed_piece != kNoPiece) return RecordCheck::kDecoder;
  return data == record.data_crc ? RecordCheck::kNone : RecordCheck::kDataCrc;
}

// A record's verdict as decoded from its start, with the decode calls made.
struct WholeVerdict {
  RecordCheck fault = RecordCheck::kNone;
  std::uint32_t calls = 0;
};

// Decodes the record from its first bit into a scratch call, as a reader
// without the table would, for the fault it meets and where: only when its
// pieces failed, so that the fault told is the one of the stream itself.
WholeVerdict decode_from_start(ReadAhead* r, const ReadRecord* item, Decompressor* context, StoredCopy* copy) {
  const FileRecord& record = item->header.fields;
  if (!hold_copy(copy, record.stored_size)) return {RecordCheck::kNoMemory, 0};
  if (!read_exactly(r->source.fd, item->stored_at, copy->bytes.get(), record.stored_size))
    return {RecordCheck::kStoredShort, 0};
  WholeVerdict verdict{check_stored_bytes(record, copy->bytes.get()), 0};
  if (verdict.fault != RecordCheck::kNone) return verdict;
  std::uint8_t scratch[kDecodeCall];
  RecordDecoding decoding;
  start_record_decoding(&decoding, context, copy->bytes.get(), record);
  while (verdict.fault == RecordCheck::kNone && next_piece_size(decoding) != 0) {
    verdict.fault = decode_next_piece(&decoding, scratch);
    ++verdict.calls;
  }
  if (copy->capacity > kKeptCopy) *copy = StoredCopy{};
  return verdict;
}

// Under the lock: piece `p` is done. The last one done gives the verdict;
// where the pieces failed, the stream decoded from its start settles it, and
// a stream that passes so while its pieces did not had a table that does
// not fit it: the record starts over, decoded from its start, and the
// writer writes its file again.
void finish_piece_locked(ReadAhead* r, Lock& hold, ReadRecord* item, std::uint32_t p, const PieceWork& result,
                         Decompressor* context, StoredCopy* copy) {
  PieceWork& work = item->piece_work[p];
  work.stored_crc = result.stored_crc;
  work.data_crc = result.data_crc;
  work.fault = result.fault;
  work.seam_broken = result.seam_broken;
  work.done = true;
  if (result.fault != RecordCheck::kNone || result.seam_broken) item->failed_piece = std::min(item->failed_piece, p);
  advance_front_locked(r, item);
  wake_everyone(r);
  if (++item->pieces_finished != piece_count(*item)) return;
  const RecordCheck verdict = pieces_verdict(*item);
  if ((verdict != RecordCheck::kDecoder && verdict != RecordCheck::kDataCrc) || r->cancelled)
    return finish_locked(r, item, verdict);
  hold.unlock();
  WholeVerdict whole = context != nullptr ? decode_from_start(r, item, context, copy)
                                          : WholeVerdict{RecordCheck::kDecoder, 0};
  hold.lock();
  if (whole.fault == RecordCheck::kNone && !r->cancelled) {
    item->state = SlotState::kStartOver;
    item->pieces = nullptr;
    item->piece_work.reset();
    wake_writer(r);
    return;
  }
  item->calls_done = std::max(item->calls_done, whole.calls);
  finish_locked(r, item, whole.fault);
}

// Checks a pieced record's stored bytes whole, a stretch at a time, before
// any piece decodes: a damaged record then fails as it would decoded from
// its start, before any of its contents reach the writer.
RecordCheck check_stored_whole(ReadAhead* r, const ReadRecord* item, StoredCopy* copy) {
  const FileRecord& record = item->header.fields;
  if (!hold_copy(copy, kStoredRead)) return RecordCheck::kNoMemory;
  std::uint16_t crc = 0;
  for (std::uint32_t done = 0; done < record.stored_size;) {
    const std::uint32_t stretch = std::min(record.stored_size - done, kStoredRead);
    if (!read_exactly(r->source.fd, item->stored_at + done, copy->bytes.get(), stretch))
      return RecordCheck::kStoredShort;
    crc = crc16_sliced(crc, copy->bytes.get(), stretch);
    done += stretch;
  }
  return check_stored_crc(record, crc);
}

// A reader's turn on a pieced record: the check of its stored bytes, or
// the next piece. Called and returning under the lock.
void work_on_pieces(ReadAhead* r, Lock& hold, ReadRecord* item, Decompressor** context, StoredCopy* copy) {
  if (item->state == SlotState::kReady) {
    item->state = SlotState::kStoredCheck;
    hold.unlock();
    const RecordCheck fault = check_stored_whole(r, item, copy);
    hold.lock();
    if (fault != RecordCheck::kNone) return finish_locked(r, item, fault);
    item->state = SlotState::kPieces;
    wake_readers(r);
    return;
  }
  const std::uint32_t p = item->pieces_claimed++;
  if (item->pieces_claimed == piece_count(*item)) item->state = SlotState::kChecking;
  hold.unlock();
  const PieceWork result = decode_piece(r, item, p, context, copy);
  hold.lock();
  finish_piece_locked(r, hold, item, p, result, *context, copy);
}

// The table's pieces for the record just read, when they fit it and the
// readers can decode them apart.
void attach_pieces(ReadAhead* r, ReadRecord* item, std::uint32_t index) {
  const RecordPieces* entry = find_record_pieces(r->pieces, index);
  if (entry == nullptr || !record_pieces_fit(*entry, item->header.fields)) return;
  item->piece_work.reset(new (std::nothrow) PieceWork[entry->pieces.size()]);
  if (item->piece_work != nullptr) item->pieces = entry;
}

// Checks a file record's stored bytes and puts its contents in its window.
RecordCheck check_contents(ReadAhead* r, ReadRecord* item, Decompressor** context, StoredCopy* copy) {
  if (item->header.fields.method == METHOD_STORED) return copy_stored(r, item);
  return check_compressed(r, item, context, copy);
}

// Under the lock: the oldest record with work for a reader, or null.
ReadRecord* oldest_ready(ReadAhead* r) {
  for (int k = 0; k < r->count; ++k) {
    const SlotState state = slot_at(r, k)->state;
    if (state == SlotState::kReady || state == SlotState::kPieces) return slot_at(r, k);
  }
  return nullptr;
}

// Claims the oldest ready record, checks it and finishes it. Called and
// returning under the lock; false when no record was ready.
bool check_oldest_ready(ReadAhead* r, Lock& hold, Decompressor** context, StoredCopy* copy) {
  ReadRecord* item = oldest_ready(r);
  if (item == nullptr) return false;
  if (item->pieces != nullptr) {
    work_on_pieces(r, hold, item, context, copy);
    return true;
  }
  item->state = SlotState::kChecking;
  hold.unlock();
  const RecordCheck fault = check_contents(r, item, context, copy);
  hold.lock();
  finish_locked(r, item, fault);
  return true;
}

// ---- The reading in file order, by the reader holding `sequencing` ----

// What the sequencing reader left behind: the newest record when its window
// must wait for room, and whether the reading ends here.
struct SequenceEnd {
  ReadRecord* waiting_for_window = nullptr;
  bool reading_ends = false;
};

// Finds the stored bytes of the record just placed in its window, in the
// file as it was at the start: kNone, or kStoredShort when they run past its end.
RecordCheck place_stored(ReadAhead* r, ReadRecord* item) {
  const std::uint32_t stored_size = item->header.fields.stored_size;
  const std::uint64_t at = r->source.offset;
  r->source.offset += stored_size;
  if (at > r->file_size || stored_size > r->file_size - at) return RecordCheck::kStoredShort;
  item->stored_at = at;
  if (stored_size > kCheckedAtOnce)
    (void)::posix_fadvise(r->source.fd, static_cast<off_t>(at), stored_size, POSIX_FADV_WILLNEED);
  return RecordCheck::kNone;
}

// A reader's own decoder and copy, for the records it checks.
struct ReaderTools {
  Decompressor** context = nullptr;
  StoredCopy* copy = nullptr;
};

// A small file's window holds it whole (windows are 2 MiB or the whole
// file), so its reader never waits for the writer.
bool small_file(const ReadRecord& item) {
  const FileRecord& record = item.header.fields;
  return item.pieces == nullptr && record.stored_size <= kCheckedAtOnce && record.size <= kCheckedAtOnce;
}

// Gives a handed-over file record its window, if the ring has room, and
// finds its stored bytes; a reader (`tools`, null for the writer reading in
// turn) checks a small one at once.
SequenceEnd take_window(ReadAhead* r, ReadRecord* item, const ReaderTools* tools) {
  {
    Lock hold(r->lock);
    const Memory memory = take_window_locked(r, item);
    if (memory == Memory::kNoRoomYet) return {item, false};
    if (memory == Memory::kNone) {
      finish_locked(r, item, RecordCheck::kNoMemory);
      return {nullptr, true};
    }
    item->state = SlotState::kPlacing;
  }
  const RecordCheck fault = place_stored(r, item);
  Lock hold(r->lock);
  if (fault != RecordCheck::kNone) {
    finish_locked(r, item, fault);
    return {nullptr, true};
  }
  if (tools != nullptr && small_file(*item)) {
    item->state = SlotState::kChecking;
    hold.unlock();
    const RecordCheck check = check_contents(r, item, tools->context, tools->copy);
    hold.lock();
    finish_locked(r, item, check, r->count >= kWakeBatch);
    return {nullptr, check != RecordCheck::kNone};
  }
  item->state = SlotState::kReady;
  wake_readers(r);
  return {nullptr, false};
}

// Reads the next header into the slot after the newest (there is room for
// one) and hands the record over; a file record then gets its window.
SequenceEnd read_next_record(ReadAhead* r, const ReaderTools* tools) {
  ReadRecord* item;
  {
    Lock hold(r->lock);
    item = slot_at(r, r->count);
    reset(item);
    item->state = SlotState::kHeader;
  }
  const RecordCheck fault = read_record_header(&r->source, r->crc_table, &item->header);
  if (fault == RecordCheck::kNone) ++r->records_read;
  const bool is_file = fault == RecordCheck::kNone && item->header.fields.method != METHOD_REMOVE;
  if (is_file && r->threaded && !r->pieces.records.empty()) attach_pieces(r, item, r->records_read - 1);
  {
    Lock hold(r->lock);
    item->header_fault = fault;
    item->state = is_file ? SlotState::kNeedsWindow : SlotState::kFinished;
    ++r->count;
    // A small file comes with its batch; the writer makes a large one's
    // folder and file while it decodes.
    if (!(is_file && tools != nullptr && small_file(*item)) || r->count >= kWakeBatch) wake_writer(r);
  }
  if (fault != RecordCheck::kNone) return {nullptr, true};
  return is_file ? take_window(r, item, tools) : SequenceEnd{};
}

enum class SequenceStep { kNone, kRetryWindow, kReadNext };

// Under the lock: what the reading in file order can do now. A window that
// found no room is tried again only after the writer gave a record back.
SequenceStep next_sequence_step(const ReadAhead& r) {
  if (r.sequencing || r.reading_done) return SequenceStep::kNone;
  if (r.waiting_for_window != nullptr)
    return r.releases != r.releases_at_last_try ? SequenceStep::kRetryWindow : SequenceStep::kNone;
  if (r.records_read < r.file_count && r.count < kSlots) return SequenceStep::kReadNext;
  return SequenceStep::kNone;
}

// Takes one step of the reading in file order, if one can be taken: the
// window of the record that waited for room, or the next record. Called and
// returning under the lock; false when there was nothing to do.
bool sequence_step(ReadAhead* r, Lock& hold, const ReaderTools* tools) {
  const SequenceStep step = next_sequence_step(*r);
  if (step == SequenceStep::kNone) return false;
  ReadRecord* waiting = r->waiting_for_window;
  r->waiting_for_window = nullptr;
  r->sequencing = true;
  r->releases_at_last_try = r->releases;
  hold.unlock();
  const SequenceEnd end =
      step == SequenceStep::kRetryWindow ? take_window(r, waiting, tools) : read_next_record(r, tools);
  hold.lock();
  r->sequencing = false;
  r->waiting_for_window = end.waiting_for_window;
  if (end.reading_ends || (r->records_read >= r->file_count && end.waiting_for_window == nullptr))
    r->reading_done = true;
  // This reader goes on with the reading itself, unless a ready record
  // takes it first: then another may go on.
  if (oldest_ready(r) != nullptr) wake_readers(r);
  if (r->reading_done) wake_writer(r);
  return true;
}

// A reader thread: checks and decodes the oldest record ready, or else
// takes the next step of the reading in file order when no other reader
// does. Records are claimed oldest first, so the writer's record always has
// a reader, and a reader that waits for the writer to empty a window waits
// on a record the writer gets to.
void reader_main(ReadAhead* r) {
  Decompressor* context = nullptr;
  StoredCopy copy;
  const ReaderTools tools{&context, &copy};
  Lock hold(r->lock);
  while (!r->cancelled) {
    if (check_oldest_ready(r, hold, &context, &copy) || sequence_step(r, hold, &tools)) continue;
    reader_wait(r, hold, [&] {
      return r->cancelled || next_sequence_step(*r) != SequenceStep::kNone || oldest_ready(r) != nullptr;
    });
  }
  hold.unlock();
  decompressor_destroy(&context);
}

// Without reader threads, the writer's thread reads the next header when it
// has no record in hand, and the contents when it first waits for them: a
// record-by-record loop, which makes the file's folder before it reads.
void read_in_turn(ReadAhead* r) {
  Lock hold(r->lock);
  while (r->count == 0 && sequence_step(r, hold, nullptr)) {
  }
}

unsigned reader_count(int readers) {
  if (readers >= 0) return std::min(static_cast<unsigned>(readers), kMostReaders);
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMostReaders);
}

// Starts `wanted` reader threads with asynchronous signals blocked, so that
// a handler (which removes the writer's temporary) runs on the writer's
// thread, between its steps; the readers started do the work.
void start_readers(ReadAhead* r, unsigned wanted) {
  sigset_t blocked, kept;
  sigfillset(&blocked);
  for (int fault_signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&blocked, fault_signal);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &kept);
  r->threaded = wanted > 0;  // before any reader starts: they read it
  for (unsigned k = 0; k < wanted; ++k) {
    try {
      r->readers[k] = std::thread(reader_main, r);
    } catch (const std::system_error&) {
      break;
    }
    Lock hold(r->lock);
    ++r->threads;
  }
  // With none started, the writer reads in turn.
  if (r->threads == 0) r->threaded = false;
  ::pthread_sigmask(SIG_SETMASK, &kept, nullptr);
}

}  // namespace

int reader_threads_from(const char* text) {
  if (text == nullptr || text[0] < '0' || text[0] > '9' || text[1] != '\0') return kReadersPerProcessor;
  const int count = text[0] - '0';
  return count <= static_cast<int>(kMostReaders) ? count : kReadersPerProcessor;
}

ReadAheadHandle read_ahead_start(const std::uint8_t* crc_table, PayloadSource source, std::uint32_t file_count,
                                 int readers, PieceTable pieces) {
  ReadAheadHandle handle(new (std::nothrow) ReadAhead);
  ReadAhead* r = handle.get();
  if (r == nullptr) return handle;
  r->crc_table = crc_table;
  r->pieces = std::move(pieces);
  r->source = source;
  r->file_count = file_count;
  r->reading_done = file_count == 0;
  struct stat info {};
  if (::fstat(source.fd, &info) == 0) r->file_size = static_cast<std::uint64_t>(info.st_size);
  const unsigned wanted = reader_count(readers);
  if (wanted > 0) {
    // Only touched pages take memory.
    void* ring = ::mmap(nullptr, kRingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (ring != MAP_FAILED) {
      r->ring = static_cast<std::uint8_t*>(ring);
      r->ring_spans.size = kRingSize;
    }
  }
  start_readers(r, r->ring != nullptr ? wanted : 0);
  return handle;
}

ReadRecord* read_ahead_next(ReadAhead* r) {
  // Without a reader thread nothing else touches the state.
  if (!r->threaded && !r->fault_released) read_in_turn(r);
  Lock hold(r->lock);
  // Readers may have read past a record whose contents failed before the
  // fault was found; the writer never gets those.
  if (r->fault_released) return nullptr;
  writer_wait(r, hold, [&] { return r->count > 0 || r->reading_done || r->cancelled; });
  return r->count > 0 && !r->cancelled ? slot_at(r, 0) : nullptr;
}

const RecordHeader& record_header_of(const ReadRecord* item) { return item->header; }

RecordCheck header_fault_of(const ReadRecord* item) { return item->header_fault; }

RecordCheck contents_fault_of(const ReadRecord* item) { return item->fault; }

WaitResult read_ahead_wait(ReadAhead* r, const ReadRecord* item, std::uint32_t calls_seen,
                           std::uint32_t* calls_done, bool* finished) {
  Lock hold(r->lock);
  if (!r->threaded) (void)check_oldest_ready(r, hold, &r->context, &r->copy);  // the one record held
  writer_wait(r, hold, [&] {
    return item->state == SlotState::kFinished || item->state == SlotState::kStartOver ||
           item->calls_done > calls_seen;
  });
  *finished = item->state == SlotState::kFinished;
  if (item->state == SlotState::kStartOver) {
    *calls_done = 0;
    return WaitResult::kStartOver;
  }
  *calls_done = item->calls_done;
  return WaitResult::kProgress;
}

void read_ahead_start_over(ReadAhead* r, ReadRecord* item) {
  Lock hold(r->lock);
  item->consumed = 0;
  item->calls_done = 0;
  item->state = SlotState::kReady;
  wake_readers(r);
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
  wake_readers(r);
}

void read_ahead_release(ReadAhead* r, ReadRecord* item) {
  Lock hold(r->lock);
  if (item->fault != RecordCheck::kNone || item->header_fault != RecordCheck::kNone) r->fault_released = true;
  if (item->has_span) ring_give_back_oldest(&r->ring_spans);
  reset(item);
  r->first = (r->first + 1) % kSlots;
  --r->count;
  ++r->releases;
  // Readers wait on a release only for room in the ring, or for free slots
  // once all were taken: those they get a batch at a time.
  if (r->waiting_for_window != nullptr || r->count == kSlots - kWakeBatch) wake_readers(r);
}

void read_ahead_stop(ReadAhead* r) {
  {
    Lock hold(r->lock);
    r->cancelled = true;
    wake_everyone(r);
  }
  for (std::thread& reader : r->readers)
    if (reader.joinable()) reader.join();
  for (ReadRecord& item : r->slots) reset(&item);
  if (r->ring != nullptr) ::munmap(r->ring, r->ring_spans.size);
  r->ring = nullptr;
  decompressor_destroy(&r->context);
  r->copy = StoredCopy{};
  Lock hold(r->lock);
  r->ring_spans = RecordRing{};
  r->threads = 0;
}

ReadAheadCounts read_ahead_counts(ReadAhead* r) {
  Lock hold(r->lock);
  return {r->threads, r->threads_waiting, r->count, r->reading_done};
}

}  // namespace telo
