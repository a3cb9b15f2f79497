// Fuzzes the installer's extraction onto disk: an installer laid out from the
// input (see installer_image.h) is extracted below a scratch directory by the
// installer's own reading and writing. Every fault must come back as an
// event that names its check, and nothing may appear outside the
// installation directory.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "fuzz/installer_image.h"
#include "installer/extraction.h"
#include "payload/record_reader.h"
#include "payload/locate.h"
#include "payload/piece_table.h"

namespace {

using telo::fuzzing::check;

// Records carried out per input at most; the rest add nothing new.
constexpr std::uint32_t kMaxEvents = 20000;
// A few stored bytes may decode to gigabytes, which takes long without
// finding anything new: inputs with a file larger than this are skipped.
constexpr std::uint32_t kMaxFileSize = 4 * telo::fuzzing::kMaxDecoded;

// The largest size any of the next `count` record headers claims, read
// without checks (the extraction checks them).
std::uint32_t largest_claimed_size(telo::PayloadSource source, std::uint32_t count) {
  std::uint32_t largest = 0;
  for (std::uint32_t i = 0; i < count && i < telo::fuzzing::kMaxRecords; ++i) {
    std::uint8_t fixed[telo::kRecordFixedSize];
    const std::uint64_t at = source.offset;
    if (telo::payload_read(&source, fixed, sizeof fixed) != sizeof fixed) break;
    const telo::FileRecord record = telo::decode_record_header(fixed);
    largest = std::max(largest, record.size);
    source.offset = at + record.header_length + record.stored_size;
  }
  return largest;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW* where) {
  if (where->level > 0) (void)::remove(path);
  return 0;
}

void remove_scratch();

// The scratch directory, made once and removed when the run ends; the
// installation goes into "install".
const std::string& scratch() {
  static const std::string path = [] {
    char name[] = "/tmp/telo-extraction-fuzz-XXXXXX";
    check(::mkdtemp(name) != nullptr);
    return std::string(name);
  }();
  static const bool removed_at_exit = std::atexit(remove_scratch) == 0;
  (void)removed_at_exit;
  return path;
}

void empty_scratch() { (void)::nftw(scratch().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

void remove_scratch() {
  empty_scratch();
  (void)::rmdir(scratch().c_str());
}

// Only the installation directory may stand in the scratch directory.
void check_nothing_outside() {
  DIR* dir = ::opendir(scratch().c_str());
  check(dir != nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    check(name == "." || name == ".." || name == "install");
  }
  ::closedir(dir);
}

void extract(int fd) {
  telo::PayloadHeader header;
  std::uint64_t offset = 0;
  if (telo::find_payload_header(fd, &header, &offset) != telo::HeaderFault::kNone) return;
  if (!telo::is_single_volume(header)) return;
  const telo::PayloadSource records{fd, offset + telo::kPayloadHeaderSize};
  if (largest_claimed_size(records, header.file_count) > kMaxFileSize) return;
  const std::string target = scratch() + "/install";
  telo::PieceTable pieces;
  telo::load_piece_table(fd, telo::piece_table_offset(header, records.offset), header.file_count, &pieces);
  telo::Extraction extraction;
  check(telo::extraction_start(&extraction, records, header.file_count, target.c_str(), telo::kReadersPerProcessor,
                               std::move(pieces)));
  for (std::uint32_t events = 0; events < kMaxEvents; ++events) {
    const telo::ExtractEvent event = telo::extraction_next(&extraction);
    if (event.kind == telo::ExtractEventKind::kFinished) break;
    if (event.kind != telo::ExtractEventKind::kFault) continue;
    check(event.fault != telo::ExtractFault::kNone);
    check(event.fault != telo::ExtractFault::kRecord || event.check != telo::RecordCheck::kNone);
    break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const telo::fuzzing::MemoryFile file(telo::fuzzing::installer_image(data, size));
  empty_scratch();
  extract(file.fd);
  check_nothing_outside();
  empty_scratch();
  return 0;
}
