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

bool passes_crc(PayloadHeader header) {
  const std::uint16_t saved = header.header_crc;
  header.header_crc = 0;
  return crc16(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&header), kPayloadHeaderSize)) ==
         saved;
}

}  // namespace

HeaderFault find_payload_header(int fd, PayloadHeader* header, std::uint64_t* offset) {
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  std::uint64_t at = kPayloadAlignment;
  for (;; at += kPayloadAlignment) {
    if (!read_fully_at(fd, header, kPayloadHeaderSize, at)) return HeaderFault::kNotFound;
    if (std::memcmp(header->marker, marker, kMarkerLength) == 0) break;
  }
  *offset = at;
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
  char marker[kMarkerLength + 1];
  make_payload_marker(marker);
  PayloadHeader header;
  for (std::uint64_t at = (after / kPayloadAlignment + 1) * kPayloadAlignment;; at += kPayloadAlignment) {
    if (!read_fully_at(fd, &header, kPayloadHeaderSize, at)) return false;
    if (std::memcmp(header.marker, marker, kMarkerLength) == 0 && passes_crc(header)) {
      *offset = at;
      return true;
    }
  }
}

}  // namespace telo
