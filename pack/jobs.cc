#include "pack/jobs.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace telo {

namespace {

// Files opened ahead of the writer: a run of small files would otherwise
// hold a descriptor each, up to the byte budget.
constexpr std::size_t kMaxOpenFiles = 64;

bool opens_a_file(const PieceQueue& queue, std::size_t t) { return queue.tasks[t].offset == 0; }

// The budget counts bytes, not tasks: a thread busy with a whole piece must
// not leave the others idle behind a run of small files.
bool can_take_task(const PieceQueue& queue) {
  if (queue.next_task >= queue.tasks.size()) return false;
  // The task the writer waits for is always taken, whatever the limits.
  if (queue.next_task == queue.released) return true;
  if (opens_a_file(queue, queue.next_task) && queue.open_files >= kMaxOpenFiles) return false;
  std::uint64_t in_flight = queue.taken_bytes - queue.released_bytes;
  return in_flight + queue.tasks[queue.next_task].length <= queue.budget;
}

void read_piece(const PieceTask& task, const PackEntry& entry, const SourceFile& file, PieceResult* result) {
  if (file.fd < 0) {
    result->read_error = file.error;
    result->changed = file.error == 0;
    return;
  }
  result->input.resize(task.length);
  std::size_t got = 0;
  while (got < task.length) {
    ssize_t n = ::pread(file.fd, result->input.data() + got, task.length - got,
                        static_cast<off_t>(task.offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result->read_error = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (result->read_error == 0 && got < task.length) result->changed = true;
  if (source_read_hook != nullptr) source_read_hook(entry, task.offset);
}

void run_task(PieceQueue* queue, std::size_t t, Decompressor** context) {
  const PieceTask& task = queue->tasks[t];
  PieceResult* result = &queue->results[t];
  read_piece(task, (*queue->entries)[task.entry], queue->files[task.entry], result);
  if (result->read_error != 0 || result->changed) return;
  // Without a context the piece simply does not fit; the file is stored.
  if (*context == nullptr && decompressor_create(context) != 0) return;
  compress_piece(*context, queue->level, result->input, &result->compressed);
}

// Takes the next task, runs it outside the lock and marks it done.
void take_and_run(PieceQueue* queue, std::unique_lock<std::mutex>& lock, Decompressor** context) {
  std::size_t t = queue->next_task++;
  queue->taken_bytes += queue->tasks[t].length;
  if (opens_a_file(*queue, t)) {
    const std::size_t e = queue->tasks[t].entry;
    open_source_file((*queue->entries)[e], &queue->files[e]);
    if (queue->files[e].fd >= 0) ++queue->open_files;
  }
  lock.unlock();
  run_task(queue, t, context);
  lock.lock();
  queue->results[t].done = true;
  queue->changed.notify_all();
}

void worker_main(PieceQueue* queue) {
  Decompressor* context = nullptr;
  std::unique_lock<std::mutex> lock(queue->mutex);
  for (;;) {
    queue->changed.wait(lock, [queue] { return queue->stopping || can_take_task(*queue); });
    if (queue->stopping) break;
    take_and_run(queue, lock, &context);
  }
  lock.unlock();
  decompressor_destroy(&context);
}

}  // namespace

PieceQueue::~PieceQueue() { stop_piece_queue(this); }

void start_piece_queue(PieceQueue* queue, const std::vector<PackEntry>& entries, bool compress,
                       CompressionLevel level, std::uint32_t piece_size, unsigned jobs) {
  queue->entries = &entries;
  queue->level = level;
  queue->piece_size = piece_size;
  queue->first_task.assign(entries.size(), 0);
  queue->files.assign(entries.size(), SourceFile{});
  for (std::size_t e = 0; e < entries.size(); ++e) {
    queue->first_task[e] = queue->tasks.size();
    const PackEntry& entry = entries[e];
    if (!compress || entry.remove) continue;
    for (std::uint64_t offset = 0; offset < entry.size; offset += piece_size) {
      auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(piece_size, entry.size - offset));
      queue->tasks.push_back({e, offset, length});
    }
  }
  queue->results.resize(queue->tasks.size());
  if (jobs < 1) jobs = 1;
  // Enough pieces in flight to keep every thread busy while the writer
  // catches up, few enough to bound memory (two buffers of a piece each).
  queue->budget = (2 * std::uint64_t{jobs} + 2) * piece_size;
  for (unsigned i = 1; i < jobs; ++i) queue->workers.emplace_back(worker_main, queue);
}

PieceResult& wait_for_piece(PieceQueue* queue, std::size_t t) {
  std::unique_lock<std::mutex> lock(queue->mutex);
  while (!queue->results[t].done) {
    if (can_take_task(*queue))
      take_and_run(queue, lock, &queue->writer_context);
    else
      queue->changed.wait(lock);
  }
  return queue->results[t];
}

void release_piece(PieceQueue* queue, std::size_t t) {
  PieceResult& result = queue->results[t];
  std::vector<std::uint8_t>().swap(result.input);
  std::vector<std::uint8_t>().swap(result.compressed.bytes);
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->released = t + 1;
  queue->released_bytes += queue->tasks[t].length;
  queue->changed.notify_all();
}

SourceFile& piece_file(PieceQueue* queue, std::size_t e) { return queue->files[e]; }

void close_piece_file(PieceQueue* queue, std::size_t e) {
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (queue->files[e].fd < 0) return;
  close_source_file(&queue->files[e]);
  --queue->open_files;
  queue->changed.notify_all();
}

void stop_piece_queue(PieceQueue* queue) {
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->stopping = true;
    queue->changed.notify_all();
  }
  for (std::thread& worker : queue->workers) worker.join();
  queue->workers.clear();
  for (SourceFile& file : queue->files) close_source_file(&file);
  queue->open_files = 0;
  decompressor_destroy(&queue->writer_context);
}

}  // namespace telo
