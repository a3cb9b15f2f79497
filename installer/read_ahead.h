#pragma once

// Reading the payload's records ahead of the thread that writes them.
//
// Reader threads (one per processor, up to four) take the records in order:
// one at a time reads and checks the next header and reads the stored bytes,
// in file order; then any of them checks those bytes, decodes them and
// checks the result, in memory, so several records decode at once. The
// installer's own thread takes the records in the same order and does
// everything the user or the file system can see: directories, files, the
// progress line and every message. So later files are decoded while this
// one is written, and what happens on screen and on disk is what a
// record-by-record loop would do, failures included (a fault is reported
// when the writer reaches its record, at its step).
//
// Memory: the records' buffers are laid out one after another in a ring
// the size of the largest record's needs (learned from the headers
// beforehand) plus 5 MiB, and given back in the same order, so the pages
// touched once serve again. A record waits until the ring has room for it.

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
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
// lock until `finished` is set; the buffers belong to the reader until then,
// but for the decoded bytes of the calls counted so far (calls_done times
// kDecodeCall), which stay as they are and may be read at once.
struct ReadRecord {
  RecordHeader header;
  RecordCheck header_fault = RecordCheck::kNone;  // a fault of the header; then nothing more follows
  RecordCheck fault = RecordCheck::kNone;         // a fault of the contents; guarded
  std::uint32_t calls_done = 0;         // decode calls made, a failed one included; guarded
  bool finished = false;                // contents read, checked and decoded, or failed; guarded
  bool stored_read = false;             // stored bytes in memory, waiting to be checked; guarded
  bool claimed = false;                 // a reader checks and decodes them; guarded
  std::uint8_t* stored = nullptr;   // the stored bytes (a stored record's contents as well)
  std::uint8_t* decoded = nullptr;  // a compressed record's contents; set before its first call is counted
  // Where the buffers lie: a span of the ring, or a block of their own for a
  // record larger than the ring (allocated while nothing else is held).
  bool has_span = false;
  OwnedBytes own_block;
  const std::uint8_t* contents = nullptr;  // `size` bytes once finished without a fault
};

inline constexpr int kReadAheadRecords = kRingSpans;

inline constexpr unsigned kMostReaders = 4;

struct ReadAhead {
  std::mutex lock;
  std::condition_variable changed;
  const std::uint8_t* crc_table = nullptr;
  PayloadSource source;             // where the next header is; the sequencing reader's
  Decompressor* context = nullptr;  // the writer's own, when no reader thread runs
  // Records handed over and not yet released, oldest first (a ring).
  ReadRecord slots[kReadAheadRecords];
  int first = 0;
  int count = 0;
  std::uint32_t file_count = 0;
  std::uint32_t records_read = 0;  // headers read; the sequencing reader's
  bool sequencing = false;         // a reader reads the next header and stored bytes
  ReadRecord* waiting_for_memory = nullptr;  // its stored bytes wait for room in the ring
  std::uint64_t memory_given_back = 0;       // records given back so far
  std::uint64_t memory_tried = 0;            // ... when room was last looked for
  bool reader_done = false;        // all records read, or a fault ended reading
  bool cancelled = false;
  std::uint8_t* ring = nullptr;  // mapped, ring_spans.size bytes
  RecordRing ring_spans;
  bool own_block_held = false;
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

// Gives back the record taken last by read_ahead_next and its memory.
void read_ahead_release(ReadAhead* reader, ReadRecord* item);

// Stops the reader thread and frees every record and the ring. Safe to
// call more than once.
void read_ahead_stop(ReadAhead* reader);

// The memory one record needs while decoded: its stored bytes and its
// contents (one buffer serves both for a stored record), each rounded up to
// whole cache lines.
std::uint64_t record_memory(const FileRecord& record);

// The largest record_memory over the next `file_count` record headers at
// `source`, read without moving it; stops at the first header that cannot
// be read or is out of range.
std::uint64_t largest_record_memory(PayloadSource source, std::uint32_t file_count);

}  // namespace telo
