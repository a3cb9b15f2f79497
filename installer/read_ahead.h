#pragma once

// Reading the payload's records ahead of the thread that writes them.
//
// Reader threads (one per processor, up to four) take the records in order:
// one at a time reads and checks the next header and maps the stored bytes,
// in file order; then any of them checks those bytes, decodes them and
// checks the result, so several records decode at once. The installer's own
// thread takes the records in the same order and does everything the user
// or the file system can see: directories, files, the progress line and
// every message. So later files are decoded while this one is written, and
// what happens on screen and on disk is what a record-by-record loop would
// do, failures included (a fault is reported when the writer reaches its
// record, at its step).
//
// Memory: the stored bytes are mapped from the installer's file, not copied.
// A compressed record decodes into a window of a small ring: the whole file
// when it is small, else a stretch that the writer empties as it writes, so
// that the decoder waits for room rather than holding the file whole. The
// windows are taken in record order and given back in the same order, so
// the pages touched once serve again and little fresh memory is ever needed.

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

// One record as the reader leaves it. The header fields are fixed once the
// record is handed over; fields marked "guarded" change under the reader's
// lock until `finished` is set. The decoded bytes of the calls counted so
// far (calls_done times kDecodeCall) that the writer has not consumed stay
// as they are in the window and may be read at once.
struct ReadRecord {
  RecordHeader header;
  RecordCheck header_fault = RecordCheck::kNone;  // a fault of the header; then nothing more follows
  RecordCheck fault = RecordCheck::kNone;         // a fault of the contents; guarded
  std::uint32_t calls_done = 0;         // decode calls made, a failed one included; guarded
  bool finished = false;                // contents checked and decoded, or failed; guarded
  bool ready = false;                   // stored bytes mapped, window taken, waiting to be checked; guarded
  bool claimed = false;                 // a reader checks and decodes them; guarded
  std::uint64_t consumed = 0;           // decoded bytes the writer has written; guarded
  const std::uint8_t* stored = nullptr; // the stored bytes, in the mapping
  void* mapping = nullptr;              // of the stored bytes, page-aligned
  std::size_t mapping_size = 0;
  std::uint8_t* window = nullptr;       // where a compressed record decodes; set before its first call counts
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
  // Records handed over and not yet released, oldest first (a ring).
  ReadRecord slots[kReadAheadRecords];
  int first = 0;
  int count = 0;
  std::uint32_t file_count = 0;
  std::uint32_t records_read = 0;  // headers read; the sequencing reader's
  bool sequencing = false;         // a reader reads the next header and maps its stored bytes
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
// `calls_seen` decode calls (a stored record's: all of them, once finished):
// at most up to the end of the window. Empty when none are ready.
std::span<const std::uint8_t> read_ahead_ready_bytes(const ReadRecord* item, std::uint64_t written,
                                                     std::uint32_t calls_seen, bool finished);

// The writer has written the file's first `written` bytes: the decoder may
// use their room in the window again.
void read_ahead_consumed(ReadAhead* reader, ReadRecord* item, std::uint64_t written);

// Gives back the record taken last by read_ahead_next and its memory.
void read_ahead_release(ReadAhead* reader, ReadRecord* item);

// Stops the reader threads and frees every record and the ring. Safe to
// call more than once.
void read_ahead_stop(ReadAhead* reader);

}  // namespace telo
