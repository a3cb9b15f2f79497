// Fuzzes the packer's reader of existing installers: whatever the file holds,
// open_installer, read_payload_record and check_record_contents must return
// every fault as non-empty text, never crash, hang or allocate far beyond
// the file. The input's layout is described in installer_image.h.

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/installer_image.h"
#include "pack/installer_file.h"

namespace {

using telo::fuzzing::check;

// Reads the installer as the packer's inspection does, checking each answer.
void read_installer(const std::string& path) {
  telo::InstallerFile installer;
  std::string fault;
  if (!telo::open_installer(path, &installer, &fault)) {
    check(!fault.empty());
    return;
  }
  const std::uint32_t count = std::min(installer.header.file_count, telo::fuzzing::kMaxRecords);
  for (std::uint32_t i = 0; i < count; ++i) {
    telo::PayloadRecord record;
    if (!telo::read_payload_record(&installer, i, true, &record, &fault)) {
      check(!fault.empty());
      return;
    }
    check(record.stored.size() == record.fields.stored_size);
    if (record.fields.method != telo::METHOD_STORED && record.fields.size > telo::fuzzing::kMaxDecoded) continue;
    if (!telo::check_record_contents(&installer, record, &fault)) {
      check(!fault.empty());
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const telo::fuzzing::MemoryFile file(telo::fuzzing::installer_image(data, size));
  read_installer(file.path);
  return 0;
}
