#pragma once

// Reading the payload's records ahead of the thread that writes them.
//
// Reader threads (one per processor, up to four) take the records in order:
// one at a time reads and checks the next header and finds the stored bytes,
// in file order; then any of them reads those bytes, checks them, decodes
// them and checks the result, so several records decode at once. The
// installer's own thread (the writer) takes the records in the same order
// and does everything the user or the file system can see: directories,
// files, the progress line and every message. So later files are decoded
// while this one is written, and what happens on screen and on disk is what
// a record-by-record loop would do, failures included (a fault is reported
// when the writer reaches its record, at its step). With no reader thread,
// the writer reads each header when it takes the record, and the contents
// whole when it first waits for them.
//
// Memory: every byte a file receives is read from the installer's file into
// memory of our own and checked there, never taken from a mapping of it:
// the file may change or shrink while it is read (started through the
// loader, or from a network file system), and the bytes written must be the
// bytes checked. A stored record is read a stretch at a time into a window of
// a small ring, its CRC taken over exactly those bytes; a compressed record's
// stream is read whole by the reader that decodes it, and decodes into such a
// window. A file the piece table lists is read a piece at a time instead:
// one reader checks its stored bytes whole, a stretch at a time, and then
// every reader takes the next piece, reads only its bytes, and decodes it
// into its place in the file's window, so that several pieces of one file
// decode at once and memory stays that of the ring and a piece per reader. The writer empties a window as it writes, so that a reader waits
// for room rather than holding a large file whole. The windows are taken in
// record order and given back in the same order, so the pages touched once
// serve again and little fresh memory is ever needed.

#include <cstdint>
#include <memory>
#include <span>

#include "codec/codec.h"
#include "installer/reader_threads.h"
#include "payload/piece_table.h"
#include "payload/record_reader.h"

namespace telo {

inline constexpr std::uint32_t kDecodeCall = kChunkLimit;  // output per decode call

// A large file decodes through a window of this size, which the writer
// empties as it writes: the decoder runs at most this far ahead of it.
inline constexpr std::uint32_t kReadAheadWindow = 2u << 20;
// A file decoded in pieces (see piece_table.h) gets a larger window, so that
// several pieces decode while the writer writes the one before them.
inline constexpr std::uint32_t kPiecedWindow = 4 * kReadAheadWindow;

struct ReadAhead;   // the reading's state; see read_ahead.cc for its protocol
struct ReadRecord;  // one record as the readers hand it to the writer

struct StopReadAhead {
  void operator()(ReadAhead* reader) const;  // read_ahead_stop, then frees it
};
using ReadAheadHandle = std::unique_ptr<ReadAhead, StopReadAhead>;

// Starts reading `file_count` records at `source` with `readers` threads
// (see reader_threads.h). Where no thread can be
// started, the writer reads in turn. A file that `pieces` lists decodes
// in pieces on every reader at once; the table never decides what is
// written, since the record's CRCs judge the pieces' work together. `crc_table` (crc16_make_table) checks
// the record headers and must outlive the reading. Null when memory for
// the state cannot be had.
ReadAheadHandle read_ahead_start(const std::uint8_t* crc_table, PayloadSource source, std::uint32_t file_count,
                                 int readers, PieceTable pieces = {});

// The next record in payload order, its header read (or a fault of it).
// Null once every record has been taken, and once a record with a fault was
// given back: what readers read beyond a fault never reaches the writer.
ReadRecord* read_ahead_next(ReadAhead* reader);

// The record's header, and the fault found in it (then nothing more of the
// record follows). Fixed from the moment read_ahead_next gave the record.
const RecordHeader& record_header_of(const ReadRecord* item);
RecordCheck header_fault_of(const ReadRecord* item);

// The fault found in the record's contents; known once read_ahead_wait said
// the record is finished.
RecordCheck contents_fault_of(const ReadRecord* item);

enum class WaitResult {
  kProgress,   // calls were made, or the record is finished
  kStartOver,  // the record's contents start over from their first byte
};

// Waits until `item` has made more than `calls_seen` decode calls or is
// finished; gives the count and whether it is finished. A stored record
// counts a call for every kDecodeCall bytes read (the last may be fewer).
// kStartOver when a file decoded in pieces must be decoded again from its
// first bit (its pieces did not fit its stream, which itself is sound):
// the writer then writes its file again from the start and, once it no
// longer looks at the bytes it had, calls read_ahead_start_over.
WaitResult read_ahead_wait(ReadAhead* reader, const ReadRecord* item, std::uint32_t calls_seen,
                           std::uint32_t* calls_done, bool* finished);

// The writer let go of the record's window: its contents decode again from
// the start, counted from no call.
void read_ahead_start_over(ReadAhead* reader, ReadRecord* item);

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
// call more than once; afterwards no record may be used.
void read_ahead_stop(ReadAhead* reader);

// What the reading is doing at one moment, for tests and measurements.
struct ReadAheadCounts {
  unsigned threads = 0;          // reader threads started
  unsigned threads_waiting = 0;  // of them, waiting for work, for room in a window or for memory
  int records_held = 0;          // handed to the writer's side and not yet given back
  bool reading_done = false;     // no further header will be read
};
ReadAheadCounts read_ahead_counts(ReadAhead* reader);

}  // namespace telo
