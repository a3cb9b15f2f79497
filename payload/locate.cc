#include "payload/locate.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>

#include "payload/crc16.h"

namespace telo {

namespace {

// Reads `length` bytes at `offset`, continuing after partial reads; false
// when the file ends (or fails) first.
bool read_fully_at(int fd, void* into, std::size_t length, std::uint64_t offset) {
  auto* at = static_cast<std::uint8_t*>(into);
  while (length > 0) {
    ssize_t n = ::pread(fd, at, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Where the scan looks next after `after`: the next multiple of 1024.
std::uint64_t next_place(std::uint64_t after) { return (after / kPayloadAlignment + 1) * kPayloadAlignment; }

// True when `block` (kMarkerLength bytes at least) starts with the marker.
bool starts_with_marker(const void* block) {
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  return std::memcmp(block, marker, kMarkerLength) == 0;
}

// Reads the blocks at `from` and each place after it into `header` until
// one starts with the marker, and sets `offset` to its place. False when
// the file ends before a whole block with the marker.
bool find_marker_block(int fd, std::uint64_t from, PayloadHeader* header, std::uint64_t* offset) {
  for (std::uint64_t at = from;; at = next_place(at)) {
    if (!read_fully_at(fd, header, kPayloadHeaderSize, at)) return false;
    if (starts_with_marker(header->marker)) {
      *offset = at;
      return true;
    }
  }
}

bool passes_crc(PayloadHeader header) {
  const std::uint16_t saved = header.header_crc;
  header.header_crc = 0;
  return crc16(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&header), kPayloadHeaderSize)) ==
         saved;
}

}  // namespace

HeaderFault find_payload_header(int fd, PayloadHeader* header, std::uint64_t* offset) {
  if (!find_marker_block(fd, kPayloadAlignment, header, offset)) return HeaderFault::kNotFound;
  std::uint8_t* table = crc16_make_table();
  if (table == nullptr) return HeaderFault::kNoMemory;
  const std::uint16_t saved = header->header_crc;
  header->header_crc = 0;
  const auto computed = static_cast<std::uint16_t>(crc16_update(table, 0, header, kPayloadHeaderSize));
  std::free(table);
  header->header_crc = saved;
  return computed == saved ? HeaderFault::kNone : HeaderFault::kCrc;
}

bool find_later_payload_header(int fd, std::uint64_t after, std::uint64_t* offset) {
  PayloadHeader header;
  std::uint64_t at = 0;
  for (std::uint64_t from = next_place(after); find_marker_block(fd, from, &header, &at); from = next_place(at)) {
    if (passes_crc(header)) {
      *offset = at;
      return true;
    }
  }
  return false;
}

bool holds_payload_marker(std::span<const std::uint8_t> bytes) {
  for (std::size_t at = kPayloadAlignment; at + kMarkerLength <= bytes.size(); at = next_place(at))
    if (starts_with_marker(bytes.data() + at)) return true;
  return false;
}

}  // namespace telo
