#include "installer/extraction.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "installer/beneath.h"
#include "installer/directories.h"
#include "installer/file_output.h"
#include "installer/folder_cache.h"
#include "installer/read_ahead.h"
#include "payload/crc16.h"
#include "payload/record_path.h"
#include "payload/removal_rule.h"

namespace telo {

namespace {

// Records' buffers come from the reader's ring; only a record larger than
// the ring gets a block of its own. Such blocks are mapped and given back to
// the system when freed, so that one never lingers beside the next record.
constexpr int kMappedBufferThreshold = 256 * 1024;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;
using CrcTable = std::unique_ptr<std::uint8_t, FreeDeleter>;

// Joins three texts into a malloc'd one; null when memory runs out.
Text join(const char* a, const char* b, const char* c) {
  const std::size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
  Text joined(static_cast<char*>(std::malloc(la + lb + lc + 1)));
  if (joined == nullptr) return joined;
  std::memcpy(joined.get(), a, la);
  std::memcpy(joined.get() + la, b, lb);
  std::memcpy(joined.get() + la + lb, c, lc + 1);
  return joined;
}

// The first `length` characters of `text`, malloc'd; null when memory runs out.
Text prefix_of(const char* text, std::size_t length) {
  Text copy(static_cast<char*>(std::malloc(length + 1)));
  if (copy == nullptr) return copy;
  std::memcpy(copy.get(), text, length);
  copy.get()[length] = '\0';
  return copy;
}

enum class Phase { kTake, kFollow, kStopped };

}  // namespace

struct ExtractionRun {
  CrcTable crc_table;
  ReadAheadHandle reader;
  Text directory;
  int root = -1;  // the installation directory, once it exists
  mode_t directory_mode = 0755;  // of the directories made, the umask applied
  std::uint32_t file_count = 0;
  std::uint32_t records_done = 0;
  std::uint64_t bytes_done = 0;
  Phase phase = Phase::kTake;
  ReadRecord* item = nullptr;  // the record being written, or the last one taken
  OutputFile file;
  FolderCache folders;           // the folders of the last files, kept open
  CachedFolder* folder = nullptr;  // the one the record's file goes into, if kept
  std::uint32_t calls = 0;       // decode calls the record takes
  std::uint32_t calls_seen = 0;  // decode calls the reader has reported
  std::uint32_t calls_shown = 0; // of those, turned into events
  bool contents_finished = false;
  std::uint64_t written = 0;     // bytes of the file written so far
  int write_error = 0;           // errno of a write that failed, reported once the checks passed
  ExtractEvent stop_event;       // repeated once extraction has stopped
  char stop_path[kMaxRecordHeader] = {};  // the path of the record at fault
};

Extraction::Extraction() = default;
Extraction::~Extraction() {
  extraction_stop(this);
  if (run != nullptr && run->root >= 0) ::close(run->root);
}

namespace {

ExtractEvent event_of(const ExtractionRun& x, ExtractEventKind kind) {
  ExtractEvent event;
  event.kind = kind;
  event.rel_path = x.item != nullptr ? record_header_of(x.item).rel_path : nullptr;
  event.records_done = x.records_done;
  event.bytes_done = x.bytes_done;
  event.record = x.records_done;
  return event;
}

ExtractEvent stop_with(ExtractionRun* x, ExtractFault fault, RecordCheck check = RecordCheck::kNone,
                       int errnum = 0) {
  ExtractEvent event = event_of(*x, fault == ExtractFault::kNone ? ExtractEventKind::kFinished
                                                                 : ExtractEventKind::kFault);
  event.fault = fault;
  event.check = check;
  event.errnum = errnum;
  // A file not put in place goes, with its temporary name.
  discard_output_file(&x->file);
  // The record's memory goes with the reader; its path is kept for the report.
  if (event.rel_path != nullptr) {
    std::strncpy(x->stop_path, event.rel_path, sizeof x->stop_path - 1);
    event.rel_path = x->stop_path;
  }
  read_ahead_stop(x->reader.get());
  x->item = nullptr;
  x->phase = Phase::kStopped;
  x->stop_event = event;
  return event;
}

// Gives the last record back to the reader once its event has been seen.
void release_item(ExtractionRun* x) {
  if (x->item == nullptr) return;
  read_ahead_release(x->reader.get(), x->item);
  x->item = nullptr;
}

// Opens the installation directory, creating it (and its parents) first
// when `create`. Its own path is the user's choice and may pass through
// links; everything below it is resolved beneath it.
bool open_root(ExtractionRun* x, bool create, int* errnum) {
  if (x->root >= 0) return true;
  if (create) {
    Text path = join(x->directory.get(), "", "");
    errno = 0;
    if (path == nullptr || make_directory_path(path.get()) == 0) {
      *errnum = path == nullptr ? ENOMEM : errno;
      return false;
    }
  }
  x->root = ::open(x->directory.get(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  *errnum = errno;
  return x->root >= 0;
}

// A removal, as removal_rule.h decides it; no result matters, since the
// path may well be gone already. unlink takes anything but a directory and
// rmdir only an empty one, so the kernel makes the rule's choice on what
// it finds, with no look beforehand that another process could outrun.
ExtractFault remove_record_path(ExtractionRun* x, const char* rel_path) {
  int errnum = 0;
  RemovalTarget target;
  const bool removes = removal_target(rel_path, &target);
  // The name gets a terminator of its own: a '/' may follow it.
  Text trimmed = prefix_of(rel_path, target.directories.size() + target.name.size());
  if (trimmed == nullptr) return ExtractFault::kDirectoryMemory;
  if (!open_root(x, false, &errnum)) return ExtractFault::kNone;  // nothing there to remove
  if (!removes) return ExtractFault::kNone;
  // What it removes may be a kept folder or a part of its path.
  folder_cache_clear(&x->folders);
  const char* name = trimmed.get() + target.directories.size();
  const int parent = open_beneath(x->root, target.directories);
  if (parent < 0) return ExtractFault::kNone;
  if (target.takes_file) (void)::unlinkat(parent, name, 0);
  (void)::unlinkat(parent, name, AT_REMOVEDIR);
  ::close(parent);
  return ExtractFault::kNone;
}

// A path whose file's directories and parent are one folder the cache can
// keep: no '\\' (which cuts the directories short of the parent) and no "..".
bool folder_cacheable(std::string_view rel_path) {
  if (rel_path.find('\\') != std::string_view::npos) return false;
  for (std::string_view part : path_components(rel_path))
    if (part == "..") return false;
  return true;
}

// The record's file in a folder of the cache: found there, or made and
// kept when no one else can change its path. False when the file goes the
// way of every record (the folder is not kept, or a link stands at its
// name), its directories made; the file has been started when `fault` is
// kNone.
bool prepare_in_kept_folder(ExtractionRun* x, const char* rel_path, ExtractFault* fault, int* errnum) {
  const PathSplit split = split_last_component(rel_path);
  // One key for every spelling of a folder ("a//b/", "a/./b/"), so that no
  // two kept folders are the same one.
  std::string key;
  for (std::string_view part : path_components(split.directories)) key.append(part).push_back('/');
  CachedFolder* folder = folder_cache_find(&x->folders, key);
  if (folder == nullptr) {
    Text directories = prefix_of(rel_path, directory_part(rel_path).size());
    if (directories == nullptr) {
      *fault = ExtractFault::kDirectoryMemory;
      return true;
    }
    bool made = false;
    const int opened = make_directories_beneath(x->root, directories.get(), x->directory_mode, &made);
    if (opened < 0) {
      *errnum = errno;
      *fault = ExtractFault::kCreateDirectory;
      return true;
    }
    ::close(opened);
    // A folder made beside the kept ones may hold what their names lead to.
    if (made) folder_cache_forget_fresh(&x->folders);
    struct stat info;
    const int guarded = open_guarded_beneath(x->root, split.directories, &info);
    if (guarded < 0) return false;
    const bool fresh = made && info.st_uid == ::geteuid() && (info.st_mode & 022) == 0;
    folder = folder_cache_keep(&x->folders, key, guarded, fresh);
  }
  const std::string name(split.name);
  const TargetState target = folder_name_free(*folder, name) ? TargetState::kFree : TargetState::kUnknown;
  if (open_output_file(folder->fd, name, &x->file, ParentHold::kBorrowed, target)) {
    x->folder = folder;
    *fault = ExtractFault::kNone;
    return true;
  }
  // A link at the file's own path is followed as opening the path would.
  if (errno == ELOOP) {
    discard_output_file(&x->file);
    return false;
  }
  *errnum = errno;
  *fault = ExtractFault::kCreateFile;
  return true;
}

// Creates the file's directories and starts the file that is to replace
// what stands at its path; `errnum` is the system's error number of a
// failed call.
ExtractFault prepare_file(ExtractionRun* x, int* errnum) {
  const char* rel_path = record_header_of(x->item).rel_path;
  discard_output_file(&x->file);
  x->folder = nullptr;
  if (!open_root(x, true, errnum)) return ExtractFault::kCreateDirectory;
  const bool cacheable = folder_cacheable(rel_path);
  if (cacheable) {
    ExtractFault fault = ExtractFault::kNone;
    if (prepare_in_kept_folder(x, rel_path, &fault, errnum)) return fault;
    // A file made through a link may land in a kept folder under any name.
    folder_cache_forget_fresh(&x->folders);
  }
  if (!cacheable) {
    Text directories = prefix_of(rel_path, directory_part(rel_path).size());
    if (directories == nullptr) return ExtractFault::kDirectoryMemory;
    const int made = make_directories_beneath(x->root, directories.get(), x->directory_mode);
    if (made < 0) {
      *errnum = errno;
      return ExtractFault::kCreateDirectory;
    }
    ::close(made);
  }
  std::string name;
  const int parent = open_parent_beneath(x->root, rel_path, &name);
  if (parent < 0 || !open_output_file(parent, name, &x->file)) {
    *errnum = errno;
    return ExtractFault::kCreateFile;
  }
  return ExtractFault::kNone;
}

// Writes what is ready of the record's file and lets the reader use its
// room again. A failure is kept for later, while the rest is still taken
// from the reader: a fault of the record itself, found afterwards, is told
// first, as when the file was written in one go after its checks.
void write_ready(ExtractionRun* x) {
  const std::uint64_t before = x->written;
  for (;;) {
    const std::span<const std::uint8_t> bytes =
        read_ahead_ready_bytes(x->item, x->written, x->calls_seen);
    if (bytes.empty()) break;
    errno = 0;
    if (x->write_error == 0 && !write_output_file(&x->file, bytes)) x->write_error = errno != 0 ? errno : EIO;
    x->written += bytes.size();
  }
  // Room in a finished record's window is wanted by no reader.
  if (x->written != before && !x->contents_finished) read_ahead_consumed(x->reader.get(), x->item, x->written);
}

// The record's contents start over (its pieces did not fit its stream): the
// file is written again from its first byte, over what it had. The progress
// shown stays, and goes on once the new decoding passes it.
void start_file_over(ExtractionRun* x) {
  errno = 0;
  if (x->write_error == 0 && !rewind_output_file(&x->file)) x->write_error = errno != 0 ? errno : EIO;
  x->written = 0;
  x->calls_seen = 0;
  read_ahead_start_over(x->reader.get(), x->item);
}

// The record is finished: reports its fault, or completes the file and puts
// it in place.
ExtractEvent write_file(ExtractionRun* x) {
  if (RecordCheck fault = contents_fault_of(x->item); fault != RecordCheck::kNone)
    return stop_with(x, ExtractFault::kRecord, fault);
  const FileRecord& record = record_header_of(x->item).fields;
  write_ready(x);
  if (x->write_error != 0) return stop_with(x, ExtractFault::kWrite, RecordCheck::kNone, x->write_error);
  if (record.mtime != 0) restore_time_and_mode(&x->file, record.mtime, record.mode);
  errno = 0;
  const std::string name = x->folder != nullptr ? x->file.name : std::string();
  if (!commit_output_file(&x->file, record.mtime == 0))
    return stop_with(x, ExtractFault::kWrite, RecordCheck::kNone, errno);
  if (x->folder != nullptr) folder_note_name(x->folder, name);
  x->bytes_done += record.size;
  ExtractEvent event = event_of(*x, ExtractEventKind::kWritten);
  ++x->records_done;
  x->phase = Phase::kTake;
  return event;
}

// Follows the reader through the record's decode calls: one event after
// every call but the last, then the written file. What is decoded is written
// at once, while the rest decodes; the file takes its name only when the
// record has passed every check.
ExtractEvent follow(ExtractionRun* x) {
  for (;;) {
    const std::uint32_t showable = std::min(x->calls_seen, x->calls == 0 ? 0 : x->calls - 1);
    if (x->calls_shown < showable) {
      ++x->calls_shown;
      ExtractEvent event = event_of(*x, ExtractEventKind::kDecoding);
      event.record_bytes = std::uint64_t{x->calls_shown} * kDecodeCall;
      return event;
    }
    write_ready(x);
    if (x->contents_finished) return write_file(x);
    if (read_ahead_wait(x->reader.get(), x->item, x->calls_seen, &x->calls_seen, &x->contents_finished) ==
        WaitResult::kStartOver)
      start_file_over(x);
  }
}

// Takes the next record and does what comes before its contents.
ExtractEvent take_record(ExtractionRun* x) {
  if (x->records_done == x->file_count) return stop_with(x, ExtractFault::kNone);
  x->item = read_ahead_next(x->reader.get());
  // Reading stops at a fault, so running out of records means one.
  if (x->item == nullptr) return stop_with(x, ExtractFault::kRecord, RecordCheck::kLength);
  if (RecordCheck fault = header_fault_of(x->item); fault != RecordCheck::kNone)
    return stop_with(x, ExtractFault::kRecord, fault);
  const FileRecord& record = record_header_of(x->item).fields;
  if (record.method == METHOD_REMOVE) {
    if (ExtractFault fault = remove_record_path(x, record_header_of(x->item).rel_path); fault != ExtractFault::kNone)
      return stop_with(x, fault);
    ExtractEvent event = event_of(*x, ExtractEventKind::kRemoved);
    ++x->records_done;
    return event;
  }
  int errnum = 0;
  if (ExtractFault fault = prepare_file(x, &errnum); fault != ExtractFault::kNone)
    return stop_with(x, fault, RecordCheck::kNone, errnum);
  x->calls = record.method == METHOD_STORED ? 0 : (record.size + kDecodeCall - 1) / kDecodeCall;
  x->calls_seen = 0;
  x->calls_shown = 0;
  x->contents_finished = false;
  x->written = 0;
  x->write_error = 0;
  x->phase = Phase::kFollow;
  return follow(x);
}

}  // namespace

bool extraction_start(Extraction* extraction, PayloadSource source, std::uint32_t file_count,
                      const char* directory, int readers, PieceTable pieces) {
  extraction->run.reset(new (std::nothrow) ExtractionRun);
  ExtractionRun* x = extraction->run.get();
  if (x == nullptr) return false;
  x->crc_table.reset(crc16_make_table());
  x->directory = join(directory, "", "");
  if (x->crc_table == nullptr || x->directory == nullptr) {
    extraction->run.reset();
    return false;
  }
  (void)mallopt(M_MMAP_THRESHOLD, kMappedBufferThreshold);
  (void)mallopt(M_TRIM_THRESHOLD, kMappedBufferThreshold);
  x->file_count = file_count;
  // The umask is read (and put back) before the reader threads exist.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  x->directory_mode = 0755 & ~mask;
  x->reader = read_ahead_start(x->crc_table.get(), source, file_count, readers, std::move(pieces));
  if (x->reader == nullptr) {
    extraction->run.reset();
    return false;
  }
  return true;
}

ExtractEvent extraction_next(Extraction* extraction) {
  ExtractionRun* x = extraction->run.get();
  switch (x->phase) {
    case Phase::kTake:
      release_item(x);
      return take_record(x);
    case Phase::kFollow: return follow(x);
    case Phase::kStopped: break;
  }
  return x->stop_event;
}

void extraction_stop(Extraction* extraction) {
  if (extraction->run == nullptr) return;
  if (extraction->run->reader != nullptr) read_ahead_stop(extraction->run->reader.get());
  extraction->run->item = nullptr;
  discard_output_file(&extraction->run->file);
}

}  // namespace telo
