#include "pack/extract.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "installer/extraction.h"
#include "installer/file_output.h"
#include "pack/installer_file.h"
#include "pack/report.h"

namespace telo {

namespace {

// The installer's stored bytes are read through a mapping: should the file
// be cut short while it is extracted, touching the lost pages raises
// SIGBUS, which ends the run with a message instead of a crash.
char cut_short_message[4200];
std::size_t cut_short_length = 0;

extern "C" void file_cut_short(int) {
  (void)!::write(STDERR_FILENO, cut_short_message, cut_short_length);
  ::_exit(1);
}

void report_a_file_cut_short(const std::string& installer) {
  const int n = std::snprintf(cut_short_message, sizeof cut_short_message,
                              "telo-pack: error: %s: the file was cut short while it was read\n", installer.c_str());
  cut_short_length = n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof cut_short_message - 1) : 0;
  struct sigaction action {};
  action.sa_handler = file_cut_short;
  ::sigaction(SIGBUS, &action, nullptr);
}

// The fault in the packer's words: the record, and what went wrong with it.
std::string fault_text(const ExtractEvent& event) {
  std::string name = record_name(event.record, event.rel_path != nullptr ? event.rel_path : "");
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
  report_a_file_cut_short(installer);
  remove_temporaries_on_signals();
  Extraction extraction;
  if (!extraction_start(&extraction, file.next, file.header.file_count, directory.c_str())) {
    pack_error("%s: not enough memory", installer.c_str());
    return 1;
  }
  std::uint32_t written = 0;
  for (;;) {
    const ExtractEvent event = extraction_next(&extraction);
    if (event.kind == ExtractEventKind::kWritten) ++written;
    if (event.kind == ExtractEventKind::kFault) {
      pack_error("%s: %s", installer.c_str(), fault_text(event).c_str());
      return 1;
    }
    if (event.kind == ExtractEventKind::kFinished) break;
  }
  std::printf("%s: %" PRIu32 " files written below %s\n", installer.c_str(), written, directory.c_str());
  return 0;
}

}  // namespace telo
