#pragma once

// Reading the payload's records ahead of the thread that writes them.
//
// Reader threads (one per processor, up to four) take the records in order:
// one at a time reads and checks the next header and finds the stored bytes,
// in file order; then any of them reads those bytes, checks them, decodes
// them and checks the result, so several records decode at once. The
// installer's own thread takes the records in the same order and does
// everything the user or the file system can see: directories, files, the
// progress line and every message. So later files are decoded while this one is written, and
// what happens on screen and on disk is what a record-by-record loop would
// do, failures included (a fault is reported when the writer reaches its
// record, at its step).
//
// Memory: every byte a file receives is read from the installer's file into
// memory of our own and checked there, never taken from a mapping of it:
// the file may change or shrink while it is read (started through the
// loader, or from a network file system), and the bytes written must be the
// bytes checked. A stored record is read a stretch at a time into a window of
// a small ring, its CRC taken over exactly those bytes; a compressed record's
// stream is read whole by the reader that decodes it, and decodes into such a
// window. The writer empties a window as it writes, so that a reader waits
// for room rather than holding a large file whole. The windows are taken in
// record order and given back in the same order, so the pages touched once
// serve again and little fresh memory is ever needed.

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "codec/codec.h"
#include "installer/record_ring.h"
#include "payload/format.h"
#include "payload/record_reader.h"

namespace telo {

struct FreeBytes {
  void operator()(void* p) const { std::free(p); }
};
using OwnedBytes = std::unique_ptr<std::uint8_t, FreeBytes>;

inline constexpr std::uint32_t kDecodeCall = kChunkLimit;  // output per decode call

// A reader's copy of a compressed record's stored bytes, kept for the next.
struct StoredCopy {
  OwnedBytes bytes;
  std::size_t capacity = 0;
};

// One record as the reader leaves it. The header fields are fixed once the
// record is handed over; fields marked "guarded" change under the reader's
// lock until `finished` is set. The decoded bytes of the calls counted so
// far (calls_done times kDecodeCall) that the writer has not consumed stay
// as they are in the window and may be read at once. A stored record counts
// a call for every kDecodeCall bytes read (the last may be fewer), but shows
// no progress for them.
struct ReadRecord {
  RecordHeader header;
  RecordCheck header_fault = RecordCheck::kNone;  // a fault of the header; then nothing more follows
  RecordCheck fault = RecordCheck::kNone;         // a fault of the contents; guarded
  std::uint32_t calls_done = 0;         // decode calls made, a failed one included; guarded
  bool finished = false;                // contents checked and decoded, or failed; guarded
  bool ready = false;                   // stored bytes in the file, window taken, waiting to be checked; guarded
  bool claimed = false;                 // a reader checks and decodes them; guarded
  std::uint64_t consumed = 0;           // decoded bytes the writer has written; guarded
  std::uint64_t stored_at = 0;          // file offset of the stored bytes
  std::uint8_t* window = nullptr;       // where the contents go; set before the first call counts
  std::uint32_t window_size = 0;        // a multiple of kDecodeCall, or the whole file rounded up
  bool has_span = false;                // the window is a span of the ring (else a block of its own)
  OwnedBytes own_block;
};

inline constexpr int kReadAheadRecords = kRingSpans;
inline constexpr unsigned kMostReaders = 4;

struct ReadAhead {
  std::mutex lock;
  std::condition_variable changed;
  const std::uint8_t* crc_table = nullptr;
  PayloadSource source;             // where the next header is; the sequencing reader's
  std::uint64_t file_size = 0;      // of the installer's file, as it was at the start
  Decompressor* context = nullptr;  // the writer's own, when no reader thread runs
  StoredCopy copy;                  // likewise
  // Records handed over and not yet released, oldest first (a ring).
  ReadRecord slots[kReadAheadRecords];
  int first = 0;
  int count = 0;
  std::uint32_t file_count = 0;
  std::uint32_t records_read = 0;  // headers read; the sequencing reader's
  bool sequencing = false;         // a reader reads the next header and places its stored bytes
  ReadRecord* waiting_for_memory = nullptr;  // its window waits for room in the ring
  std::uint64_t memory_given_back = 0;       // records given back so far
  std::uint64_t memory_tried = 0;            // ... when room was last looked for
  bool reader_done = false;        // all records read, or a fault ended reading
  bool fault_released = false;     // the writer gave back a record with a fault: none follow
  bool cancelled = false;
  std::uint8_t* ring = nullptr;    // mapped, ring_spans.size bytes
  RecordRing ring_spans;
  std::thread readers[kMostReaders];
  unsigned reader_threads = 0;  // how many to start; 0: one per processor, up to kMostReaders
  bool threaded = false;
};

// Starts reading `file_count` records at `source`. Without a thread (none
// can be started) records are read when read_ahead_next asks. `crc_table`
// (crc16_make_table) checks the record headers.
void read_ahead_start(ReadAhead* reader, const std::uint8_t* crc_table, PayloadSource source,
                      std::uint32_t file_count);

// The next record in payload order, its header read (or a fault). Null only
// when every record has been taken.
ReadRecord* read_ahead_next(ReadAhead* reader);

// Waits until `item` has made more than `calls_seen` decode calls or is
// finished; gives the count and whether it is finished.
void read_ahead_wait(ReadAhead* reader, const ReadRecord* item, std::uint32_t calls_seen, std::uint32_t* calls_done,
                     bool* finished);

// The file's bytes from `written` on that are ready to be written, after
// `calls_seen` calls: at most up to the end of the window. Empty when none
// are ready. They are checked only once the record is finished.
std::span<const std::uint8_t> read_ahead_ready_bytes(const ReadRecord* item, std::uint64_t written,
                                                     std::uint32_t calls_seen);

// The writer has written the file's first `written` bytes: the decoder may
// use their room in the window again.
void read_ahead_consumed(ReadAhead* reader, ReadRecord* item, std::uint64_t written);

// Gives back the record taken last by read_ahead_next and its memory.
void read_ahead_release(ReadAhead* reader, ReadRecord* item);

// Stops the reader threads and frees every record and the ring. Safe to
// call more than once.
void read_ahead_stop(ReadAhead* reader);

}  // namespace telo
