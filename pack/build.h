#pragma once

// Building an installer: the stub, zero padding to the next multiple of
// 1024, then a payload with the application's files in slot 0, a private
// Java runtime's files below "jre/" in slot 1 and the removal records.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec.h"

namespace telo {

struct PackOptions {
  std::string output;
  std::string app_dir;
  std::string jre_dir;                        // empty: no slot 1
  std::vector<std::string> removals;
  std::string product_name = "TELO";
  std::string version = "V3.8";
  std::string description = "for Linux 32 bit";
  std::string hardware_family;
  std::optional<std::string> java_runtime;    // unset: jre_dir's last component
  std::int32_t build_time = 0;
  std::string stub;                           // the installer image to append to
  bool store_only = false;                    // no compression at all
  CompressionLevel level = CompressionLevel::kReference;
  unsigned jobs = 1;                          // threads that compress
  // Where files are cut into pieces, and whether the payload then lists
  // them in a piece table (payload/piece_table.h). Unset: 2 MiB pieces, a
  // table for fast and best, none for reference (byte-identical to earlier
  // packers); 0 (--pieces off): 2 MiB pieces and no table; else the piece
  // size (a multiple of 8192) and a table.
  std::optional<std::uint32_t> pieces;
  bool show_progress = false;                 // a progress line on standard error
};

// The bytes files are cut at, and whether a piece table is written.
std::uint32_t pack_piece_size(const PackOptions& options);
bool writes_piece_table(const PackOptions& options);

// The name a Java runtime directory gives the header: its last component.
std::string java_runtime_name(std::string_view jre_dir);

// Builds options.output. Returns 0, or 1 after reporting bad input or an
// I/O failure on standard error; nothing is then left at options.output.
int build_installer(const PackOptions& options);

}  // namespace telo
