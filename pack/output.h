#pragma once

// The installer being written: a temporary file beside its final name,
// renamed into place only when it is complete, so that an interrupted or
// failed build never leaves a half installer under that name.

#include <cstdint>
#include <span>
#include <string>

namespace telo {

struct PackOutput {
  std::string path;         // the final name
  std::string temp_path;
  int fd = -1;
  bool committed = false;
  unsigned mode = 0755;     // given at commit: an installer is a program

  PackOutput() = default;
  ~PackOutput();            // removes the temporary file unless committed
  PackOutput(const PackOutput&) = delete;
  PackOutput& operator=(const PackOutput&) = delete;
};

// Creates the temporary file. An interrupt (SIGINT, SIGTERM, SIGHUP) from
// now until commit or destruction removes it before the process ends.
bool open_pack_output(const std::string& path, PackOutput* output);

// Writes all of `data` at `offset`.
bool write_pack_output(PackOutput* output, std::uint64_t offset, std::span<const std::uint8_t> data);

// Cuts the file to `length`, gives it its mode (0755 unless set otherwise),
// flushes it to disk and renames it to the final name.
bool commit_pack_output(PackOutput* output, std::uint64_t length);

}  // namespace telo
