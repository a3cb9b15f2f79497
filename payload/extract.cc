#include "payload/extract.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "console/outcome.h"
#include "console/progress.h"
#include "console/terminate.h"
#include "payload/codec/codec.h"
#include "payload/crc16_sliced.h"
#include "payload/file_output.h"
#include "payload/format.h"
#include "payload/header.h"
#include "payload/record_path.h"
#include "sysenv/install_targets.h"
#include "sysenv/paths.h"

namespace telo {

namespace {

constexpr std::uint32_t kDecodePiece = 8192;  // the decoder's window; progress moves between pieces
// Blocks at least this large are mapped and given back to the system when
// freed, so that a replaced block never lingers beside its successor.
constexpr int kMappedBufferThreshold = 256 * 1024;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using CrcTable = std::unique_ptr<std::uint8_t, FreeDeleter>;
using Buffer = std::unique_ptr<std::uint8_t, FreeDeleter>;
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

std::uint16_t crc_of(const std::uint8_t* table, const std::uint8_t* data, std::uint32_t length) {
  return static_cast<std::uint16_t>(crc16_update(table, 0, data, length));
}

// File contents are checked eight bytes at a time; the same checksum.
std::uint16_t contents_crc(std::uint16_t crc, const std::uint8_t* data, std::size_t length) {
  return crc16_sliced(crc, data, length);
}

// Reads and validates the next record header into `header` (4136 bytes).
FileRecord read_record_header(const std::uint8_t* crc_table, std::uint8_t* header) {
  if (payload_read(header, 4) != 4) error("Corrupted file(s) (err=1).");
  std::uint32_t length = load_u32(header);
  if (length < kMinRecordHeader || length > kMaxRecordHeader) error("Corrupted file(s) (err=1).");
  if (payload_read(header + 4, length - 4) != length - 4) error("Corrupted file(s) (err=2).");
  std::uint16_t saved = load_u16(header + record_offset::kRecordCrc);
  store_u16(header + record_offset::kRecordCrc, 0);
  if (crc_of(crc_table, header, length) != saved) error("Corrupted file(s) (err=6).");
  store_u16(header + record_offset::kRecordCrc, saved);
  FileRecord record = decode_record_header(header);
  // A damaged or hostile record must not reach outside the installation
  // directory; refused before anything is created or removed for it.
  if (check_record(std::span<const std::uint8_t>(header, length), record) != RecordFault::kNone)
    error("Corrupted file(s) (err=7).");
  return record;
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

// One block holds a record's stored bytes followed by its decoded output.
// It is kept for the next record when large enough, so that pages already
// touched serve again, and replaced (never added to) when a record needs
// more: memory stays within the largest record's stored_size + size.
struct RecordMemory {
  Buffer block;
  std::uint64_t capacity = 0;
};

// An allocation of 0 bytes still gives a valid, empty buffer.
std::uint8_t* reserve(RecordMemory* memory, std::uint64_t bytes) {
  if (memory->block != nullptr && bytes <= memory->capacity) return memory->block.get();
  memory->block.reset();
  memory->capacity = 0;
  if (bytes > SIZE_MAX) error("Memory allocation error (err=3).");
  memory->block.reset(static_cast<std::uint8_t*>(std::malloc(bytes != 0 ? static_cast<std::size_t>(bytes) : 1)));
  if (memory->block == nullptr) error("Memory allocation error (err=3).");
  memory->capacity = bytes;
  return memory->block.get();
}

// Decodes the stored stream into `output` in pieces of at most 8192 bytes,
// moving the progress line between pieces. Returns the checksum of the
// output, taken piece by piece while each is still in the cache.
std::uint16_t decode_record(const FileRecord& record, std::uint8_t* stored, std::uint8_t* output,
                            const char* rel_path, const Progress& progress) {
  Decompressor* context = nullptr;
  if (decompressor_create(&context) < 0) error("Decompression error (err=1).");
  ByteWindow source{stored, stored + record.stored_size, 0, stored, record.stored_size};
  std::uint8_t* cursor = output;
  std::uint8_t* const end = output + record.size;
  std::uint16_t crc = 0;
  for (;;) {
    auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(end - cursor, kDecodePiece));
    ByteWindow destination{cursor, cursor + piece, 0, cursor, piece};
    int result = decompressor_decode(context, &source, &destination);
    crc = contents_crc(crc, cursor, piece);
    cursor += piece;
    if (cursor == end) {
      decompressor_destroy(&context);
      if (result < 0) error("Decompression error (err=1).");
      return crc;
    }
    show_progress(rel_path, files_percent(progress),
                  bytes_percent(progress, progress.bytes_done + (cursor - output)));
    if (result < 0) {
      decompressor_destroy(&context);
      error("Decompression error (err=1).");
    }
  }
}

// Writes one file: its directories, the opened (emptied) file, the checked
// and decoded contents in one write, then its time and mode.
void extract_file(const FileRecord& record, const char* rel_path, RecordMemory* memory,
                  Progress* progress) {
  const char* directory = install_targets.directory[0];
  make_parent_directories(directory, rel_path);
  Text path = make_file_path(directory, rel_path);
  OutputFile file;
  errno = 0;
  if (!open_output_file(path.get(), &file))
    terminate_with_errno("Can't create file", "(err=5).", errno);

  // A stored record is written straight from its stored bytes: the two
  // sizes are equal and so are the two checksums' inputs.
  const bool stored_as_is = record.method == METHOD_STORED;
  std::uint8_t* stored =
      reserve(memory, std::uint64_t{record.stored_size} + (stored_as_is ? 0 : record.size));
  if (record.stored_size != 0 && payload_read(stored, record.stored_size) != record.stored_size)
    error("Corrupted file(s) (err=3).");
  std::uint16_t stored_crc = contents_crc(0, stored, record.stored_size);
  if (stored_crc != record.stored_crc) error("Corrupted file(s) (err=4).");
  std::uint8_t* output = stored_as_is ? stored : stored + record.stored_size;
  std::uint16_t data_crc =
      stored_as_is ? stored_crc : decode_record(record, stored, output, rel_path, *progress);
  if (data_crc != record.data_crc) error("Corrupted file(s) (err=5).");

  errno = 0;
  if (!write_output_file(&file, std::span<const std::uint8_t>(output, record.size)))
    terminate_with_errno("Error saving data", "(err=1).", errno);
  if (record.mtime != 0) restore_time_and_mode(&file, record.mtime, record.mode);
  close_output_file(&file);

  progress->bytes_done += record.size;
  show_progress(rel_path, files_percent(*progress), bytes_percent(*progress, progress->bytes_done));
  show_progress(nullptr, 0, 0);
}

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
  std::uint8_t header[kMaxRecordHeader];
  RecordMemory memory;
  while (progress.records_done < progress.file_count) {
    FileRecord record = read_record_header(crc_table.get(), header);
    const auto* rel_path = reinterpret_cast<const char*>(header + record_offset::kRelPath);
    if (record.method == METHOD_REMOVE)
      remove_path(install_targets.directory[0], rel_path);
    else
      extract_file(record, rel_path, &memory, &progress);
    ++progress.records_done;
  }
  show_progress(nullptr, 0, 0);
  return RESULT_NEXT;
}

}  // namespace telo
