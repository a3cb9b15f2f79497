// Fuzzes the packer's reader of existing installers the way verify reads
// them: open_installer, every record header with read_payload_record, then
// each record's stored bytes and contents with check_record_from_file, read
// from the file as the installer reads them. Every fault must come back as
// non-empty text, never crash, hang or allocate far beyond the file, and each
// verdict must be the one a reading of the same record held whole in memory
// gives. The input's layout is described in installer_image.h.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/installer_image.h"
#include "pack/installer_file.h"

namespace {

using telo::fuzzing::check;

// Record `record`'s verdict from a second reading of the file that holds
// its stored bytes whole: the same as `intact` and `fault`.
void check_against_held(const std::string& path, const telo::PayloadRecord& record, bool intact,
                        const std::string& fault) {
  telo::InstallerFile held;
  std::string held_fault;
  check(telo::open_installer(path, &held, &held_fault));
  held.next.offset = held.records_start + record.record_offset;
  telo::PayloadRecord copy;
  bool held_intact = telo::read_payload_record(&held, record.index, true, &copy, &held_fault);
  if (held_intact) held_intact = telo::check_record_contents(&held, copy, &held_fault);
  check(held_intact == intact);
  check(intact || held_fault == fault);
}

void read_installer(const std::string& path) {
  telo::InstallerFile installer;
  std::string fault;
  if (!telo::open_installer(path, &installer, &fault)) {
    check(!fault.empty());
    return;
  }
  const std::uint32_t count = std::min(installer.header.file_count, telo::fuzzing::kMaxRecords);
  std::vector<telo::PayloadRecord> records(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!telo::read_payload_record(&installer, i, false, &records[i], &fault)) {
      check(!fault.empty());
      records.resize(i);
      break;
    }
  }
  for (const telo::PayloadRecord& record : records) {
    if (record.fields.method != telo::METHOD_STORED && record.fields.size > telo::fuzzing::kMaxDecoded) continue;
    const bool intact = telo::check_record_from_file(&installer, record, &fault);
    check(intact || !fault.empty());
    check_against_held(path, record, intact, fault);
    if (!intact) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const telo::fuzzing::MemoryFile file(telo::fuzzing::installer_image(data, size));
  read_installer(file.path);
  return 0;
}
