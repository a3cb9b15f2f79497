#pragma once

// Extraction onto disk: every record of the payload written below the
// installation directory, with its time and mode, or removed.
//
// The caller drives it one event at a time and decides what the user sees:
// the installer's wizard turns events into the progress line and faults into
// its messages; the packer's extract command reports them its own way.
// Records are read, checked and decoded ahead on other threads (see
// read_ahead.h); everything visible happens here, in record order, so the
// events are those of a record-by-record loop, failures included.

#include <cstdint>
#include <memory>

#include "installer/reader_threads.h"
#include "payload/piece_table.h"
#include "payload/record_reader.h"

namespace telo {

enum class ExtractEventKind {
  kDecoding,  // a decode call of a large file finished (not after its last call)
  kWritten,   // a file was written, its time and mode set
  kRemoved,   // a removal record was carried out
  kFault,     // extraction stops here
  kFinished,  // every record is done
};

// What went wrong, in the order of a record's steps.
enum class ExtractFault {
  kNone,
  kRecord,           // a check of the reading core failed; see `check`
  kDirectoryMemory,  // the directory path cannot be allocated
  kCreateDirectory,  // a directory cannot be created; see `errnum`
  kFileMemory,       // the file path cannot be allocated
  kCreateFile,       // the file cannot be opened for writing; see `errnum`
  kWrite,            // the file's contents cannot all be written; see `errnum`
};

struct ExtractEvent {
  ExtractEventKind kind = ExtractEventKind::kFinished;
  const char* rel_path = nullptr;  // the record's path; valid until the next event
  std::uint32_t records_done = 0;  // records finished before this one (removals included)
  std::uint64_t bytes_done = 0;    // sizes of the files written before this one
  std::uint64_t record_bytes = 0;  // kDecoding: bytes of this file decoded so far
  ExtractFault fault = ExtractFault::kNone;
  RecordCheck check = RecordCheck::kNone;  // with ExtractFault::kRecord
  std::uint32_t record = 0;                // the index of the record at fault
  int errnum = 0;                          // the system's error number, where one applies
};

struct ExtractionRun;  // the state between events

struct Extraction {
  std::unique_ptr<ExtractionRun> run;
  Extraction();
  ~Extraction();  // stops the reader and frees everything
};

// Starts extracting `file_count` records at `source` below `directory`,
// read ahead by `readers` threads (reader_threads.h), the files `pieces`
// lists decoded in pieces. False when memory for the work cannot be had.
bool extraction_start(Extraction* extraction, PayloadSource source, std::uint32_t file_count,
                      const char* directory, int readers = kReadersPerProcessor, PieceTable pieces = {});

// Does the work up to the next event and returns it. After kFault or
// kFinished, every later call returns the same event again.
ExtractEvent extraction_next(Extraction* extraction);

// Stops the reader thread at once; safe from a termination path and more
// than once.
void extraction_stop(Extraction* extraction);

}  // namespace telo
