#pragma once

// The packer's compression work: every file cut into pieces, coded by
// worker threads in file order, and handed to the single thread that writes
// the records in order. That thread codes pieces too while it would
// otherwise wait, so `jobs` threads code in all.
//
// Each file is opened once, by the thread that takes its first piece, and
// every piece of it is read through that descriptor; the writer closes it
// when the file's record is done.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "pack/source_file.h"
#include "pack/stream.h"
#include "pack/tree.h"

namespace telo {

struct PieceTask {
  std::size_t entry = 0;        // index into the entries
  std::uint64_t offset = 0;     // of the piece in its file
  std::uint32_t length = 0;
};

struct PieceResult {
  std::vector<std::uint8_t> input;   // the piece as read
  CompressedPiece compressed;
  int read_error = 0;                // errno of a failed open or read
  bool changed = false;              // not the file scanned, or it ended early
  bool done = false;
};

struct PieceQueue {
  const std::vector<PackEntry>* entries = nullptr;
  std::vector<PieceTask> tasks;
  std::vector<PieceResult> results;
  std::vector<std::size_t> first_task;  // per entry: its first task (tasks.size() if none)
  std::vector<SourceFile> files;        // per entry; opened under the mutex by the taker of its first task
  std::size_t open_files = 0;           // of them, open and not yet closed by the writer; under the mutex
  std::uint64_t budget = 0;             // most input bytes taken and not yet released
  std::size_t next_task = 0;            // the first task nobody has taken
  std::size_t released = 0;             // tasks the writer is done with
  std::uint64_t taken_bytes = 0;        // input bytes of the tasks before next_task
  std::uint64_t released_bytes = 0;     // input bytes of the tasks before released
  bool stopping = false;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::thread> workers;
  Decompressor* writer_context = nullptr;
  CompressionLevel level = CompressionLevel::kReference;
  std::uint32_t piece_size = kPackPieceSize;

  PieceQueue() = default;
  ~PieceQueue();
  PieceQueue(const PieceQueue&) = delete;
  PieceQueue& operator=(const PieceQueue&) = delete;
};

// Plans the pieces of every file entry, `piece_size` bytes each but the
// last (none for removals, empty files, or when `compress` is false), and
// starts jobs - 1 worker threads.
void start_piece_queue(PieceQueue* queue, const std::vector<PackEntry>& entries, bool compress,
                       CompressionLevel level, std::uint32_t piece_size, unsigned jobs);

// The result of task `t`, waiting for it (and coding other pieces meanwhile).
PieceResult& wait_for_piece(PieceQueue* queue, std::size_t t);

// Frees task `t`'s memory and lets the workers go further ahead. Tasks are
// released in order.
void release_piece(PieceQueue* queue, std::size_t t);

// The file of entry `e` as its pieces read it, once the first piece is done.
SourceFile& piece_file(PieceQueue* queue, std::size_t e);

// Closes the file of entry `e` once the writer is done with it.
void close_piece_file(PieceQueue* queue, std::size_t e);

// Stops and joins the workers and frees the codec contexts and the files
// still open.
void stop_piece_queue(PieceQueue* queue);

}  // namespace telo
