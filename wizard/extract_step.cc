// The extraction step: the payload's records written below the installation
// directory, with the progress line moving as they go, and every fault told
// in the installer's words before the installation ends.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "console/error_stream.h"
#include "console/outcome.h"
#include "console/progress.h"
#include "installer/extraction.h"
#include "installer/file_output.h"
#include "payload/piece_table.h"
#include "wizard/install_targets.h"
#include "wizard/state.h"
#include "wizard/steps.h"
#include "wizard/terminate.h"

namespace telo {

namespace {

const char* record_check_message(RecordCheck check) {
  switch (check) {
    case RecordCheck::kNone: break;
    case RecordCheck::kLength: return "Corrupted file(s) (err=1).";
    case RecordCheck::kHeaderShort: return "Corrupted file(s) (err=2).";
    case RecordCheck::kHeaderCrc: return "Corrupted file(s) (err=6).";
    case RecordCheck::kRules: return "Corrupted file(s) (err=7).";
    case RecordCheck::kNoMemory: return "Memory allocation error (err=3).";
    case RecordCheck::kStoredShort: return "Corrupted file(s) (err=3).";
    case RecordCheck::kStoredCrc: return "Corrupted file(s) (err=4).";
    case RecordCheck::kDecoder: return "Decompression error (err=1).";
    case RecordCheck::kDataCrc: return "Corrupted file(s) (err=5).";
  }
  return nullptr;
}

[[noreturn]] void report_fault(const ExtractEvent& event) {
  switch (event.fault) {
    case ExtractFault::kNone:
    case ExtractFault::kRecord: error(record_check_message(event.check));
    case ExtractFault::kDirectoryMemory: error("Memory allocation error (err=4).");
    case ExtractFault::kCreateDirectory: terminate_with_errno("Can't create directory", "(err=4).", event.errnum);
    case ExtractFault::kFileMemory: error("Insufficient memory (err=4).");
    case ExtractFault::kCreateFile: terminate_with_errno("Can't create file", "(err=5).", event.errnum);
    case ExtractFault::kWrite: terminate_with_errno("Error saving data", "(err=1).", event.errnum);
  }
  error(nullptr);
}

// The two figures of the progress line: records finished before the current
// one (removals included), and bytes written or decoded so far.
int files_percent(const ExtractEvent& event) {
  return static_cast<int>(std::uint64_t{100} * event.records_done / payload_header.file_count);
}

// A header that claims no bytes at all has nothing left to wait for.
int bytes_percent(std::uint64_t bytes) {
  if (payload_header.total_size == 0) return 100;
  return static_cast<int>(bytes * 100 / payload_header.total_size);
}

// The extraction running now, stopped before the installer exits on a failure.
Extraction* active_extraction = nullptr;

void stop_active_extraction() {
  if (active_extraction != nullptr) extraction_stop(active_extraction);
}

void extract_all(Extraction* extraction) {
  for (;;) {
    const ExtractEvent event = extraction_next(extraction);
    switch (event.kind) {
      case ExtractEventKind::kDecoding:
        show_progress(event.rel_path, files_percent(event), bytes_percent(event.bytes_done + event.record_bytes));
        break;
      case ExtractEventKind::kWritten:
        show_progress(event.rel_path, files_percent(event), bytes_percent(event.bytes_done));
        show_progress(nullptr, 0, 0);
        break;
      case ExtractEventKind::kRemoved: break;
      case ExtractEventKind::kFault: report_fault(event);
      case ExtractEventKind::kFinished: return;
    }
  }
}

}  // namespace

WizardState run_extract_state() {
  next_state = STATE_JAVA;
  back_state = STATE_EXTRACT;
  if (new_release_mode) usleep(2000);
  // Tests ask for the way of file systems without nameless files.
  if (const char* without = std::getenv("TELO_WITHOUT_TMPFILE"); without != nullptr && std::strcmp(without, "1") == 0)
    output_without_tmpfile = true;
  remove_temporaries_on_signals();
  Extraction extraction;
  // How many threads read ahead; tests and small machines may ask for none.
  const int readers = reader_threads_from(std::getenv("TELO_READER_THREADS"));
  // Where the packer cut large files into pieces, they decode on every
  // reader at once; a table that cannot be read is no table.
  PieceTable pieces;
  load_piece_table(payload_records.fd, piece_table_offset(payload_header, payload_records.offset),
                   payload_header.file_count, &pieces);
  if (!extraction_start(&extraction, payload_records, payload_header.file_count, install_targets.directory[0],
                        readers, std::move(pieces)))
    error("Insufficient memory (err=3).");
  active_extraction = &extraction;
  before_exit = stop_active_extraction;
  say("\n\n.... Installing files ....\n\n");
  show_progress(nullptr, 0, 0);
  if (payload_header.file_count != 0) extract_all(&extraction);
  active_extraction = nullptr;
  before_exit = nullptr;
  show_progress(nullptr, 0, 0);
  return apply_outcome(RESULT_NEXT);
}

}  // namespace telo
