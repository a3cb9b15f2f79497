#include "payload/extract.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "console/outcome.h"
#include "console/progress.h"
#include "console/terminate.h"
#include "codec/codec.h"
#include "payload/file_output.h"
#include "payload/format.h"
#include "payload/header.h"
#include "payload/read_ahead.h"
#include "sysenv/install_targets.h"
#include "sysenv/paths.h"

namespace telo {

namespace {

// Records' buffers come from the reader's ring; only a record larger than
// the ring gets a block of its own. Such blocks are mapped and given back to
// the system when freed, so that one never lingers beside the next record.
constexpr int kMappedBufferThreshold = 256 * 1024;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using CrcTable = std::unique_ptr<std::uint8_t, FreeDeleter>;
using Text = std::unique_ptr<char, FreeDeleter>;

// Where the loop stands, for the two percentages of the progress line.
struct Progress {
  std::uint32_t file_count = 0;
  std::uint32_t total_size = 0;
  std::uint32_t records_done = 0;  // removal records included
  std::uint64_t bytes_done = 0;    // sizes of the files written so far
};

int files_percent(const Progress& p) {
  return static_cast<int>(std::uint64_t{100} * p.records_done / p.file_count);
}

// A header that claims no bytes at all has nothing left to wait for.
int bytes_percent(const Progress& p, std::uint64_t bytes) {
  if (p.total_size == 0) return 100;
  return static_cast<int>(bytes * 100 / p.total_size);
}

const char* fault_message(ReadFault fault) {
  switch (fault) {
    case ReadFault::kNone: break;
    case ReadFault::kLength: return "Corrupted file(s) (err=1).";
    case ReadFault::kHeaderShort: return "Corrupted file(s) (err=2).";
    case ReadFault::kHeaderCrc: return "Corrupted file(s) (err=6).";
    case ReadFault::kUnsafe: return "Corrupted file(s) (err=7).";
    case ReadFault::kNoMemory: return "Memory allocation error (err=3).";
    case ReadFault::kStoredShort: return "Corrupted file(s) (err=3).";
    case ReadFault::kStoredCrc: return "Corrupted file(s) (err=4).";
    case ReadFault::kDecoder: return "Decompression error (err=1).";
    case ReadFault::kDataCrc: return "Corrupted file(s) (err=5).";
  }
  return nullptr;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Cuts the last component off `path`: from the end down to index 1, every
// character up to and including the first separator becomes a terminator.
void cut_last_component(char* path) {
  std::size_t n = std::strlen(path);
  for (std::size_t k = n; k-- > 1;) {
    bool separator = is_separator(path[k]);
    path[k] = '\0';
    if (separator) return;
  }
}

void remove_path(const char* directory, const char* rel_path) {
  Text path(concat_strings(3, directory, ends_with_slash(directory) ? "" : "/", rel_path));
  if (path == nullptr) error("Memory allocation error (err=4).");
  (void)std::remove(path.get());
  (void)::rmdir(path.get());
}

void make_parent_directories(const char* directory, const char* rel_path) {
  Text path(concat_strings(3, directory, ends_with_slash(directory) ? "" : "/", rel_path));
  if (path == nullptr) error("Memory allocation error (err=4).");
  cut_last_component(path.get());
  errno = 0;
  if (make_directory_path(path.get()) == 0)
    terminate_with_errno("Can't create directory", "(err=4).", errno);
}

Text make_file_path(const char* directory, const char* rel_path) {
  std::size_t n = std::strlen(directory);
  bool joined = n == 0 || is_separator(directory[n - 1]);
  Text path(concat_strings(3, directory, joined ? "" : "/", rel_path));
  if (path == nullptr) error("Insufficient memory (err=4).");
  return path;
}

// Follows the reader through a record's decode calls: the progress line
// moves after every call but the last, as the calls are made. Returns once
// the record is finished, checked or failed.
void follow_decoding(ReadAhead* reader, const ReadRecord& item, const Progress& progress) {
  const FileRecord& record = item.record;
  const std::uint32_t calls = record.method == METHOD_STORED ? 0 : (record.size + kDecodeCall - 1) / kDecodeCall;
  std::uint32_t shown = 0;
  for (bool finished = false; !finished;) {
    std::uint32_t done = 0;
    read_ahead_wait(reader, &item, shown, &done, &finished);
    for (; shown < done && shown + 1 < calls; ++shown) {
      std::uint64_t produced = std::uint64_t{shown + 1} * kDecodeCall;
      show_progress(item.rel_path, files_percent(progress), bytes_percent(progress, progress.bytes_done + produced));
    }
    shown = std::max(shown, done);
  }
}

// Writes one file: its directories, the opened (emptied) file, the checked
// and decoded contents in one write, then its time and mode.
void extract_file(ReadAhead* reader, const ReadRecord& item, Progress* progress) {
  const FileRecord& record = item.record;
  const char* directory = install_targets.directory[0];
  make_parent_directories(directory, item.rel_path);
  Text path = make_file_path(directory, item.rel_path);
  OutputFile file;
  errno = 0;
  if (!open_output_file(path.get(), &file))
    terminate_with_errno("Can't create file", "(err=5).", errno);

  follow_decoding(reader, item, *progress);
  if (item.fault != ReadFault::kNone) error(fault_message(item.fault));
  errno = 0;
  if (!write_output_file(&file, std::span<const std::uint8_t>(item.contents, record.size)))
    terminate_with_errno("Error saving data", "(err=1).", errno);
  if (record.mtime != 0) restore_time_and_mode(&file, record.mtime, record.mode);
  close_output_file(&file);

  progress->bytes_done += record.size;
  show_progress(item.rel_path, files_percent(*progress), bytes_percent(*progress, progress->bytes_done));
  show_progress(nullptr, 0, 0);
}

// The reader running now, stopped before the installer exits on a failure.
ReadAhead* active_reader = nullptr;

void stop_active_reader() {
  if (active_reader != nullptr) read_ahead_stop(active_reader);
}

struct ReaderDeleter {
  void operator()(ReadAhead* r) const {
    read_ahead_stop(r);
    if (active_reader == r) {
      active_reader = nullptr;
      before_exit = nullptr;
    }
    delete r;
  }
};

}  // namespace

int extract_payload() {
  CrcTable crc_table(crc16_make_table());
  if (crc_table == nullptr) error("Insufficient memory (err=3).");
  (void)mallopt(M_MMAP_THRESHOLD, kMappedBufferThreshold);
  (void)mallopt(M_TRIM_THRESHOLD, kMappedBufferThreshold);
  std::fputs("\n\n.... Installing files ....\n\n", stderr);
  show_progress(nullptr, 0, 0);

  Progress progress;
  progress.file_count = payload_header.file_count;
  progress.total_size = payload_header.total_size;
  if (progress.file_count != 0) {
    std::unique_ptr<ReadAhead, ReaderDeleter> reader(new (std::nothrow) ReadAhead);
    if (reader == nullptr) error("Insufficient memory (err=3).");
    active_reader = reader.get();
    before_exit = stop_active_reader;
    read_ahead_start(reader.get(), crc_table.get(), progress.file_count);
    while (progress.records_done < progress.file_count) {
      ReadRecord* item = read_ahead_next(reader.get());
      // Reading stops at a fault, so running out of records means one.
      if (item == nullptr) error(fault_message(ReadFault::kLength));
      if (item->header_fault != ReadFault::kNone) error(fault_message(item->header_fault));
      if (item->record.method == METHOD_REMOVE)
        remove_path(install_targets.directory[0], item->rel_path);
      else
        extract_file(reader.get(), *item, &progress);
      read_ahead_release(reader.get(), item);
      ++progress.records_done;
    }
  }
  show_progress(nullptr, 0, 0);
  return RESULT_NEXT;
}

}  // namespace telo
