#pragma once

// Installers laid out from fuzz input, shared by the targets that read them.
//
// Input: one control byte, then the body. Control bit 0: the body is the
// whole installer file, as is. Otherwise the file is 1024 zero bytes, a
// payload header (marker, volume -1, CRC sealed by the packer's own code),
// then the body as the records, each record header found there getting its
// CRC re-stamped so that damage reaches the checks behind it. Bit 1: each
// record's stored and data CRCs are re-stamped too. Bit 2: the body starts
// with file_count (2 bytes, little-endian) instead of the count of records
// laid out. Bit 3: the header names volume 0. Bit 4: the records laid out
// whole are followed by a piece table that cuts each compressed one evenly
// (rarely where its stream allows), with the header's totals leading to it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telo::fuzzing {

// Records laid out at most, and the largest compressed record decoded to
// re-stamp its data CRC (a few stored bytes may decode to gigabytes).
inline constexpr std::uint32_t kMaxRecords = 4096;
inline constexpr std::uint32_t kMaxDecoded = 1 << 16;

// The installer file an input stands for.
std::vector<std::uint8_t> installer_image(const std::uint8_t* data, std::size_t size);

// The image in a memory file; its path names it while `fd` stays open.
struct MemoryFile {
  int fd = -1;
  std::string path;
  explicit MemoryFile(const std::vector<std::uint8_t>& bytes);
  ~MemoryFile();
};

// Ends the run (the fuzzer reports a crash) when `ok` is false.
void check(bool ok);

}  // namespace telo::fuzzing
