#include "pack/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "pack/output.h"

namespace telo {

bool read_small_file(const std::string& path, std::size_t max_size, std::string* text, std::string* fault,
                     bool* missing) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (missing != nullptr) *missing = fd < 0 && errno == ENOENT;
  if (fd < 0) {
    *fault = std::strerror(errno);
    return false;
  }
  text->clear();
  fault->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *fault = std::strerror(errno);
    if (n <= 0) break;
    text->append(buffer, static_cast<std::size_t>(n));
    if (text->size() > max_size) {
      *fault = "larger than " + std::to_string(max_size) + " bytes";
      break;
    }
  }
  ::close(fd);
  return fault->empty();
}

bool write_small_file(const std::string& path, std::string_view text, unsigned mode) {
  PackOutput output;
  output.mode = mode;
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return open_pack_output(path, &output) && write_pack_output(&output, 0, bytes) &&
         commit_pack_output(&output, bytes.size());
}

}  // namespace telo
