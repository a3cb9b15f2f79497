#include "payload/pack_extract.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "payload/file_output.h"
#include "payload/pack_report.h"
#include "payload/payload_reader.h"
#include "sysenv/paths.h"

namespace telo {

namespace {

bool make_parent_directories(const std::string& file_path) {
  std::size_t slash = file_path.rfind('/');
  if (slash == std::string::npos) return true;
  std::vector<char> parent(file_path.begin(), file_path.begin() + static_cast<std::ptrdiff_t>(slash));
  parent.push_back('\0');
  return make_directory_path(parent.data()) == 1;
}

bool write_file(const std::string& path, const PayloadRecord& record, const std::vector<std::uint8_t>& contents) {
  if (!make_parent_directories(path)) {
    pack_error("%s: cannot create its directory: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  OutputFile file;
  if (!open_output_file(path.c_str(), &file)) {
    pack_error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  if (!write_output_file(&file, contents)) {
    pack_error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  // A record without a time leaves both time and mode as created.
  if (record.fields.mtime != 0) restore_time_and_mode(&file, record.fields.mtime, record.fields.mode);
  if (!close_output_file(&file)) {
    pack_error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int extract_installer(const std::string& installer, const std::string& directory) {
  InstallerReader reader;
  std::string fault;
  if (!open_installer(installer, &reader, &fault)) {
    pack_error("%s: %s", installer.c_str(), fault.c_str());
    return 1;
  }
  std::string base = directory.empty() || directory.back() == '/' ? directory : directory + "/";
  PayloadRecord record;
  std::vector<std::uint8_t> contents;
  std::uint32_t written = 0;
  for (std::uint32_t i = 0; i < reader.header.file_count; ++i) {
    // Both CRCs are checked before anything is created for a record.
    bool ok = read_payload_record(&reader, i, true, &record, &fault) &&
              (record.fields.method == METHOD_REMOVE || record_contents(record, &contents, &fault));
    if (!ok) {
      pack_error("%s: %s", installer.c_str(), fault.c_str());
      return 1;
    }
    std::string path = base + record.rel_path;
    if (record.fields.method == METHOD_REMOVE) {
      // As in the installer: a missing path or a non-empty directory is left alone.
      (void)std::remove(path.c_str());
      (void)::rmdir(path.c_str());
      continue;
    }
    if (!write_file(path, record, contents)) return 1;
    ++written;
  }
  std::printf("%s: %" PRIu32 " files written below %s\n", installer.c_str(), written, directory.c_str());
  return 0;
}

}  // namespace telo
