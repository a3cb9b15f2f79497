#include "pack/extract.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer/extraction.h"
#include "installer/file_output.h"
#include "pack/installer_file.h"
#include "pack/report.h"

namespace telo {

namespace {

// The fault in the packer's words: the record, and what went wrong with it.
// A record that comes short in a file now shorter than when it was opened
// was cut short while it was read.
std::string fault_text(const InstallerFile& file, const ExtractEvent& event) {
  std::string name = record_name(event.record, event.rel_path != nullptr ? event.rel_path : "");
  const bool came_short = event.check == RecordCheck::kLength || event.check == RecordCheck::kHeaderShort ||
                          event.check == RecordCheck::kStoredShort;
  if (event.fault == ExtractFault::kRecord && came_short && installer_cut_short(file))
    return name + ": " + kCutShortText;
  const char* system = event.errnum != 0 ? std::strerror(event.errnum) : "";
  switch (event.fault) {
    case ExtractFault::kNone: break;
    case ExtractFault::kRecord: return name + ": " + record_check_text(event.check);
    case ExtractFault::kDirectoryMemory:
    case ExtractFault::kFileMemory: return name + ": not enough memory for its path";
    case ExtractFault::kCreateDirectory: return name + ": cannot create its directory: " + system;
    case ExtractFault::kCreateFile: return name + ": cannot create its file: " + system;
    case ExtractFault::kWrite: return name + ": cannot write its file: " + system;
  }
  return name;
}

}  // namespace

int extract_installer(const std::string& installer, const std::string& directory) {
  InstallerFile file;
  std::string fault;
  if (!open_installer(installer, &file, &fault)) {
    pack_error("%s: %s", installer.c_str(), fault.c_str());
    return 1;
  }
  remove_temporaries_on_signals();
  Extraction extraction;
  const int readers = reader_threads_from(std::getenv("TELO_READER_THREADS"));
  if (!extraction_start(&extraction, file.next, file.header.file_count, directory.c_str(), readers, file.pieces)) {
    pack_error("%s: not enough memory", installer.c_str());
    return 1;
  }
  std::uint32_t written = 0;
  for (;;) {
    const ExtractEvent event = extraction_next(&extraction);
    if (event.kind == ExtractEventKind::kWritten) ++written;
    if (event.kind == ExtractEventKind::kFault) {
      pack_error("%s: %s", installer.c_str(), fault_text(file, event).c_str());
      return 1;
    }
    if (event.kind == ExtractEventKind::kFinished) break;
  }
  std::printf("%s: %" PRIu32 " files written below %s\n", installer.c_str(), written, directory.c_str());
  return 0;
}

}  // namespace telo
