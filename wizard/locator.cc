#include "wizard/locator.h"

#include <sys/types.h>

#include <cstring>

namespace telo {

std::FILE* open_own_file(const char* argv0) {
  if (argv0 != nullptr && std::strchr(argv0, '/') != nullptr) {
    if (std::FILE* file = std::fopen(argv0, "rb")) return file;
  }
  return std::fopen("/proc/self/exe", "rb");
}

HeaderFault locate_payload(std::FILE* file, PayloadHeader* header, PayloadSource* records) {
  std::uint64_t offset = 0;
  const int fd = ::fileno(file);
  HeaderFault fault = find_payload_header(fd, header, &offset);
  if (fault != HeaderFault::kNone) return fault;
  records->fd = fd;
  records->offset = offset + kPayloadHeaderSize;
  (void)::fseeko(file, static_cast<off_t>(records->offset), SEEK_SET);
  return HeaderFault::kNone;
}

}  // namespace telo
